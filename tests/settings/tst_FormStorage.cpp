#include "tests/settings/FakePlacementTarget.h"
#include "settings/FormStorage.h"
#include "settings/StatusPanel.h"

#include <QtTest>

Q_DECLARE_METATYPE(TWindowPlacement)
Q_DECLARE_METATYPE(TWindowShowState)

namespace {

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// A grid column with declared properties, as the window's columns have.
class TestColumn : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int position MEMBER FPosition)
    Q_PROPERTY(int width MEMBER FWidth)
    Q_PROPERTY(bool sorted MEMBER FSorted)
public:
    TestColumn(const char* name, int position, int width, QObject* parent)
        : QObject(parent), FPosition(position), FWidth(width)
    {
        setObjectName(QString::fromLatin1(name));
    }
    int FPosition;
    int FWidth;
    bool FSorted = false;
};

// The main window's stored components as plain objects: dynamic properties for the
// edit controls, declared ones for the columns, a custom accessor for the panels.
class TestWindow
{
public:
    TestWindow()
    {
        Form.setObjectName("fMain");
        Add("cbServerName", "text", QString("www.example.com"));
        Add("acServerHistory", "strings", QStringList{"10.0.0.1", "www.example.com"});
        Add("mmDIsplay", "lines", QString("first line\n  indented = kept"));
        Add("sePort", "value", 80.0);
        Add("rbKvSrv", "checked", false);
        Add("rbWebSrv", "checked", true);
        Add("About1", "action", QVariant::fromValue<QObject*>(nullptr));
        Add("StatusPane1", "unused", 0);
        Server = new TestColumn("coldbServer", 0, 250, &Form);
        new TestColumn("coldbStartTime", 1, 80, &Form);
        Duration = new TestColumn("coldbDuration", 2, 80, &Form);
        new TestColumn("coldbBytesRx", 3, 80, &Form);
        Result = new TestColumn("coldbResult", 4, 80, &Form);
        new TestColumn("coldbSpeed", 5, 168, &Form);
        TStatusPanel left, right;
        left.Width = 200;
        right.Width = 50;
        Panels = {left, right};
    }

    void Bind(TFormStorage& storage)
    {
        storage.SetStoredProps(TFormStorage::MainWindowStoredProps());
        TStoredPropertyAccessor panels;
        panels.Get = [this](QObject*) { return QVariant::fromValue(TStatusPanel::ToCollection(Panels)); };
        panels.Set = [this](QObject*, const QVariant& value) {
            Panels = TStatusPanel::FromCollection(value.value<TCollectionValue>());
            return true;
        };
        QVERIFY(storage.SetAccessor("StatusPane1", "Panels", panels));
        storage.BindStoredProps(&Form);
    }

    QVariant Get(const char* component, const char* property) const
    {
        return Form.findChild<QObject*>(component)->property(property);
    }
    void Set(const char* component, const char* property, const QVariant& value)
    {
        Form.findChild<QObject*>(component)->setProperty(property, value);
    }

    QObject Form;
    TestColumn* Server;
    TestColumn* Duration;
    TestColumn* Result;
    QList<TStatusPanel> Panels;

private:
    void Add(const char* name, const char* property, const QVariant& value)
    {
        auto* object = new QObject(&Form);
        object->setObjectName(QString::fromLatin1(name));
        object->setProperty(property, value);
    }
};

class TestFormStorage : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void writesNewSettingsFile();
    void nextRunReadsBackIdentically();
    void restoresWithReadRulesAndSwallowsErrors();
    void restoresComponentReference();
    void bindingDropsMissingComponents();
    void unreadableNumbersCountAsMissing();

    void savesPlacement_data();
    void savesPlacement();
    void restoresPosition_data();
    void restoresPosition();
    void restoresShowState_data();
    void restoresShowState();

private:
    void SaveAll(TFormStorage& storage, TestWindow& window, const FakePlacementTarget& placement);
    std::unique_ptr<QTemporaryDir> FTemp;
};

void TestFormStorage::initTestCase()
{
    QLocale::setDefault(QLocale::c());
}

void TestFormStorage::init()
{
    FTemp = std::make_unique<QTemporaryDir>();
    QVERIFY(FTemp->isValid());
    qputenv("XDG_DATA_HOME", FTemp->filePath("data").toUtf8());
    qputenv("XDG_CONFIG_HOME", FTemp->filePath("config").toUtf8());
}

void TestFormStorage::SaveAll(TFormStorage& storage, TestWindow& window, const FakePlacementTarget& placement)
{
    window.Bind(storage);
    storage.WriteInteger("FormVersion", 0);
    storage.SavePlacement(placement);
    storage.SaveStoredProps();
    storage.WriteInteger("AccumulatedTestCount", 3);
    storage.WriteFloat("AccumulatedAverageSpeed", 1234.5);
}

FakePlacementTarget DesignedWindow()
{
    FakePlacementTarget placement;
    placement.Current = {1, 0, QPoint(-1, -1), QPoint(-1, -1), 217, 162, 957, 783};
    placement.Visible = true;
    return placement;
}

void TestFormStorage::writesNewSettingsFile()
{
    const QString file = FTemp->filePath("Korvane/KrvnClnt");
    TAppIniFileStorage store;
    store.SetFileName(file);
    TFormStorage storage;
    storage.SetAppStorage(&store);
    TestWindow window;
    SaveAll(storage, window, DesignedWindow());
    store.Flush();
    const QString golden = SETTINGS_TEST_DATA "/NewSettings.ini";
    if (qEnvironmentVariableIsSet("KORVANE_UPDATE_GOLDEN"))
        QFile::copy(file + ".ini", golden);
    QCOMPARE(ReadAll(file + ".ini"), ReadAll(golden));
}

void TestFormStorage::nextRunReadsBackIdentically()
{
    const QString file = FTemp->filePath("KrvnClnt.ini");
    TestWindow saved;
    saved.Set("mmDIsplay", "lines", QString("x = y\nlast=line"));
    saved.Set("rbKvSrv", "checked", true);
    saved.Set("rbWebSrv", "checked", false);
    saved.Set("sePort", "value", 5001.0);
    saved.Server->FSorted = true;
    saved.Duration->FPosition = 4;
    saved.Result->FPosition = 2;
    saved.Panels[1].Text = "42.00 KB/s";
    saved.Panels[1].Alignment = TStatusPanel::taRightJustify;
    {
        TAppIniFileStorage store;
        store.SetFileName(file);
        TFormStorage storage;
        storage.SetAppStorage(&store);
        SaveAll(storage, saved, DesignedWindow());
    }   // written when the store goes
    const QByteArray firstRun = ReadAll(file);

    TAppIniFileStorage store;
    store.SetFileName(file);
    TFormStorage storage;
    storage.SetAppStorage(&store);
    TestWindow restored;
    restored.Panels.clear();
    restored.Bind(storage);
    storage.RestoreStoredProps();

    for (const char* component : {"cbServerName", "acServerHistory", "mmDIsplay", "sePort", "rbKvSrv", "rbWebSrv"}) {
        const QList<QByteArray> props = restored.Form.findChild<QObject*>(component)->dynamicPropertyNames();
        for (const QByteArray& property : props)
            QCOMPARE(restored.Get(component, property), saved.Get(component, property));
    }
    for (const char* column : {"coldbServer", "coldbDuration", "coldbResult", "coldbSpeed", "coldbBytesRx"})
        for (const char* property : {"position", "width", "sorted"})
            QCOMPARE(restored.Get(column, property), saved.Get(column, property));
    QCOMPARE(restored.Panels.size(), 2);
    QCOMPARE(restored.Panels[1].Text, QString("42.00 KB/s"));
    QCOMPARE(restored.Panels[1].Alignment, TStatusPanel::taRightJustify);
    QCOMPARE(restored.Panels[0].Width, 200);
    QCOMPARE(storage.ReadFloat("AccumulatedAverageSpeed"), 1234.5);
    QCOMPARE(storage.ReadInteger("AccumulatedTestCount"), 3);

    // Saving the restored state again gives the same file, byte for byte.
    SaveAll(storage, restored, DesignedWindow());
    store.Flush();
    QCOMPARE(ReadAll(file), firstRun);
}

void TestFormStorage::restoresWithReadRulesAndSwallowsErrors()
{
    TAppIniFileStorage store;
    TFormStorage storage;
    storage.SetAppStorage(&store);
    store.WriteString(R"(fMain\rbKvSrv_Checked)", "yes");
    store.WriteString(R"(fMain\rbWebSrv_Checked)", "n");
    store.WriteString(R"(fMain\sePort_Value)", "8080");
    store.WriteString(R"(fMain\coldbDuration_Position)", "first");
    store.WriteString(R"(fMain\coldbDuration_Width)", "not a width");
    store.WriteString(R"(fMain\coldbResult_Position)", "1");
    store.WriteString(R"(fMain\coldbServer_Sorted)", "Y");
    store.WriteString(R"(fMain\cbServerName_Text)", "");

    TestWindow window;
    window.Bind(storage);
    storage.RestoreStoredProps();
    QCOMPARE(window.Get("rbKvSrv", "checked"), QVariant(true));
    QCOMPARE(window.Get("rbWebSrv", "checked"), QVariant(false));
    QCOMPARE(window.Get("sePort", "value"), QVariant(80.0));   // two bytes: not a value
    QCOMPARE(window.Duration->FPosition, 2);
    QCOMPARE(window.Duration->FWidth, 80);
    QCOMPARE(window.Result->FPosition, 1);
    QCOMPARE(window.Server->FSorted, true);
    QCOMPARE(window.Get("cbServerName", "text"), QVariant(QString()));
    // Nothing stored: lists keep their content.
    QCOMPARE(window.Get("acServerHistory", "strings").toStringList().size(), 2);

    store.WriteString(R"(fMain\sePort_Value)", "8080.5");
    storage.RestoreStoredProps();
    QCOMPARE(window.Get("sePort", "value"), QVariant(8080.5));
}

void TestFormStorage::restoresComponentReference()
{
    TAppIniFileStorage store;
    TFormStorage storage;
    storage.SetAppStorage(&store);
    TestWindow window;
    QObject* own = window.Form.findChild<QObject*>("cbServerName");
    QObject* other = window.Form.findChild<QObject*>("mmDIsplay");
    window.Set("About1", "action", QVariant::fromValue(own));
    window.Bind(storage);

    storage.SaveStoredProps();
    QCOMPARE(store.ReadString(R"(fMain\About1_Action)"), QString("cbServerName"));

    store.WriteString(R"(fMain\About1_Action)", "mmDIsplay");
    storage.RestoreStoredProps();
    QCOMPARE(window.Get("About1", "action").value<QObject*>(), other);

    store.WriteString(R"(fMain\About1_Action)", "MMDISPLAY");   // names match exactly
    storage.RestoreStoredProps();
    QCOMPARE(window.Get("About1", "action").value<QObject*>(), other);

    // An empty reference is neither written nor read.
    window.Set("About1", "action", QVariant::fromValue<QObject*>(nullptr));
    store.DeleteValue(R"(fMain\About1_Action)");
    storage.SaveStoredProps();
    QVERIFY(!store.ValueStored(R"(fMain\About1_Action)"));
    store.WriteString(R"(fMain\About1_Action)", "mmDIsplay");
    storage.RestoreStoredProps();
    QCOMPARE(window.Get("About1", "action").value<QObject*>(), nullptr);
}

void TestFormStorage::bindingDropsMissingComponents()
{
    TFormStorage storage;
    storage.SetStoredProps(TFormStorage::MainWindowStoredProps());
    QCOMPARE(storage.StoredProps().size(), 16);
    QObject form;
    auto* port = new QObject(&form);
    port->setObjectName("sePort");
    storage.BindStoredProps(&form);
    QCOMPARE(storage.StoredProps().size(), 1);
    QCOMPARE(storage.StoredProps().first().Key(), QString("sePort_Value"));
}

void TestFormStorage::unreadableNumbersCountAsMissing()
{
    TAppIniFileStorage store;
    TFormStorage storage;
    storage.SetAppStorage(&store);
    store.WriteString(R"(fMain\AccumulatedTestCount)", "twelve");
    store.WriteString(R"(fMain\AccumulatedAverageSpeed)", "fast");
    QCOMPARE(storage.ReadInteger("AccumulatedTestCount", 0), 0);
    QCOMPARE(storage.ReadFloat("AccumulatedAverageSpeed", 0), 0.0);
    storage.WriteInteger("", 5);   // an empty name reads and writes nothing
    QCOMPARE(store.Document().SectionNames(), QStringList{"fMain"});
    QCOMPARE(storage.ReadInteger("", 7), 7);
}

void TestFormStorage::savesPlacement_data()
{
    QTest::addColumn<bool>("applicationMinimized");
    QTest::addColumn<bool>("mainWindow");
    QTest::addColumn<int>("showCmd");
    QTest::newRow("normal") << false << true << 1;
    QTest::newRow("application minimized") << true << true << 2;
    QTest::newRow("other window, application minimized") << true << false << 1;
}

void TestFormStorage::savesPlacement()
{
    QFETCH(bool, applicationMinimized);
    QFETCH(bool, mainWindow);
    QFETCH(int, showCmd);
    TAppIniFileStorage store;
    TFormStorage storage;
    storage.SetAppStorage(&store);
    FakePlacementTarget window = DesignedWindow();
    window.Current.Flags = 2;
    window.Current.NormalLeft = -8;
    window.ApplicationMinimized = applicationMinimized;
    window.MainWindow = mainWindow;
    window.Screen = QSize(1280, 1024);
    window.Dpi = 120;
    storage.SavePlacement(window);
    QCOMPARE(store.Document().SectionLines("fMain"),
             (QStringList{QString("ShowCmd=%1").arg(showCmd), "Flags=2", "PixelsPerInch=120",
                          "MinMaxPos(1280x1024)=-1,-1,-1,-1", "MinMaxPos=-1,-1,-1,-1",
                          "NormPos(1280x1024)=-8,162,957,783", "NormPos=-8,162,957,783"}));
}

void TestFormStorage::restoresPosition_data()
{
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<bool>("visible");
    QTest::addColumn<bool>("applied");
    QTest::addColumn<TWindowPlacement>("expected");

    // The window stands at 217,162, is 740 by 621, visible with ShowCmd 1, flags 0.
    const TWindowPlacement moved{1, 0, QPoint(0, 0), QPoint(-1, -1), 10, 20, 750, 641};
    const QSize fullHd(1920, 1080);

    QTest::newRow("nothing stored") << QStringList() << fullHd << true << false << TWindowPlacement();
    QTest::newRow("plain keys, size kept")
        << QStringList{"PixelsPerInch=96", "MinMaxPos=0,0,-1,-1", "NormPos=10,20,5000,5000"}
        << fullHd << true << true << moved;
    QTest::newRow("no dpi stored counts as same")
        << QStringList{"NormPos=10,20,30,40"} << fullHd << true << true
        << TWindowPlacement{1, 0, QPoint(-1, -1), QPoint(-1, -1), 10, 20, 750, 641};
    QTest::newRow("unreadable dpi counts as missing")
        << QStringList{"PixelsPerInch=many", "MinMaxPos=0,0,0,0", "NormPos=10,20,30,40"} << fullHd << true
        << true << moved;
    QTest::newRow("other dpi")
        << QStringList{"PixelsPerInch=120", "NormPos=10,20,30,40"} << fullHd << true << false << TWindowPlacement();
    QTest::newRow("this screen's key first")
        << QStringList{"NormPos(1920x1080)=10,20,0,0", "NormPos=99,99,0,0", "MinMaxPos=0,0,0,0"} << fullHd
        << true << true << moved;
    QTest::newRow("other screen's key ignored")
        << QStringList{"NormPos(1920x1080)=99,99,0,0", "NormPos=10,20,0,0", "MinMaxPos(1280x1024)=0,0,0,0",
                       "MinMaxPos(1920x1080)=5,5,0,0"}
        << QSize(1280, 1024) << true << true << moved;
    QTest::newRow("words split at commas and blanks, bad words")
        << QStringList{"NormPos= x ,  25 ,1,1", "MinMaxPos=oops 7", "Flags=3"} << fullHd << true << true
        << TWindowPlacement{1, 3, QPoint(0, 7), QPoint(-1, -1), 217, 25, 957, 646};
    QTest::newRow("hidden window is not shown by the record")
        << QStringList{"NormPos=10,20", "MinMaxPos=0,0", "Flags=junk"} << fullHd << false << true
        << TWindowPlacement{0, 0, QPoint(0, 0), QPoint(-1, -1), 10, 20, 750, 641};
    QTest::newRow("right edge beyond the integer range")
        << QStringList{"NormPos=2147483000,20"} << fullHd << true << false << TWindowPlacement();
    QTest::newRow("empty text is no data") << QStringList{"NormPos=", "MinMaxPos= "} << fullHd << true << false
                                           << TWindowPlacement();
}

void TestFormStorage::restoresPosition()
{
    QFETCH(QStringList, stored);
    QFETCH(QSize, screen);
    QFETCH(bool, visible);
    QFETCH(bool, applied);
    QFETCH(TWindowPlacement, expected);

    TAppIniFileStorage store;
    for (const QString& line : stored)
        store.WriteString("fMain\\" + line.section('=', 0, 0), line.section('=', 1));
    TFormStorage storage;
    storage.SetAppStorage(&store);
    FakePlacementTarget window = DesignedWindow();
    window.Screen = screen;
    window.Visible = visible;
    storage.RestorePlacement(window);

    QCOMPARE(window.Applied.size(), applied ? 1 : 0);
    if (applied)
        QCOMPARE(window.Applied.first(), expected);
}

void TestFormStorage::restoresShowState_data()
{
    QTest::addColumn<QString>("showCmd");
    QTest::addColumn<TWindowShowState>("state");
    QTest::addColumn<bool>("applicationMinimized");
    const auto normal = TWindowShowState::Normal;
    QTest::newRow("missing") << QString() << normal << false;
    for (const char* cmd : {"0", "1", "4", "5", "8", "9", "-1", "junk"})
        QTest::newRow(cmd) << QString(cmd) << normal << false;
    for (const char* cmd : {"2", "6", "7"})
        QTest::newRow(cmd) << QString(cmd) << normal << true;
    QTest::newRow("3") << QString("3") << TWindowShowState::Maximized << false;
}

void TestFormStorage::restoresShowState()
{
    QFETCH(QString, showCmd);
    QFETCH(TWindowShowState, state);
    QFETCH(bool, applicationMinimized);
    TAppIniFileStorage store;
    if (!showCmd.isNull())
        store.WriteString(R"(fMain\ShowCmd)", showCmd);
    store.WriteString(R"(fMain\PixelsPerInch)", "120");   // position not restored, state still is
    store.WriteString(R"(fMain\NormPos)", "1,2,3,4");
    TFormStorage storage;
    storage.SetAppStorage(&store);
    FakePlacementTarget window = DesignedWindow();
    storage.RestorePlacement(window);
    QVERIFY(window.Applied.isEmpty());
    QCOMPARE(window.States, QList<TWindowShowState>{state});
    QCOMPARE(window.MinimizeCalls, applicationMinimized ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestFormStorage)
#include "tst_FormStorage.moc"
