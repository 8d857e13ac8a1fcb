#include "settings/AppIniFileStorage.h"
#include "tests/settings/FakePlacementTarget.h"
#include "ui/FormStateSequence.h"
#include "settings/FormStorage.h"

#include <QtTest>

#include <limits>
#include <stdexcept>

namespace {

// The placement side, also noting into the window's event list when it is used.
class RecordingPlacement : public FakePlacementTarget
{
public:
    explicit RecordingPlacement(std::function<void(const QString&)> note) : FNote(std::move(note)) {}
    void ApplyPlacement(const TWindowPlacement& placement) override
    {
        FakePlacementTarget::ApplyPlacement(placement);
        FNote(QString("placement %1,%2").arg(placement.NormalLeft).arg(placement.NormalTop));
    }
    void SetShowState(TWindowShowState state) override
    {
        FakePlacementTarget::SetShowState(state);
        FNote(QString("state %1").arg(int(state)));
    }

private:
    std::function<void(const QString&)> FNote;
};

// The window's side of the sequence: records every call in order; any step can be made
// to throw.
class FakeStateWindow : public IFormStateWindow
{
public:
    QStringList Events;
    RecordingPlacement Placement{[this](const QString& event) { Note(event); }};
    QStringList Errors;
    QString FailAt;           // the event name that throws
    bool StoreExists = false;
    double MaxResult = 1.0;
    int Count = 0;
    double Average = 0;
    int SplashesOpen = 0;
    int MostSplashesOpen = 0;
    int SpeedMaximum = 100;
    bool CountFails = false;

    QString ProductName() const override { return "Korvane"; }
    QString Version() const override { return "2.0.0.69"; }
    void OpenSplash(const QString& programName, const QStringList& statusLines) override
    {
        Note("splash " + programName + " | " + statusLines.join(" | "));
        MostSplashesOpen = std::max(MostSplashesOpen, ++SplashesOpen);
    }
    bool SplashOpen() const override { return SplashesOpen > 0; }
    void ReleaseSplash() override
    {
        QVERIFY2(SplashesOpen > 0, "released without a splash");
        --SplashesOpen;
        Note("release");
    }
    IPlacementTarget& PlacementTarget() override { return Placement; }
    int AccumulatedTestCount() const override
    {
        if (CountFails)
            throw std::runtime_error("count unavailable");
        return Count;
    }
    double AccumulatedAverageSpeed() const override { return Average; }
    void RestoreAccumulatedResults(int count, double average) override
    {
        Note(QString("stats %1 %2").arg(count).arg(average, 0, 'g', 17));
        Count = count;
        Average = average;
    }
    bool ResultsStoreExists() const override { return StoreExists; }
    double CreateResultsStore() override
    {
        Note("store");
        StoreExists = true;
        return MaxResult;
    }
    void SetSpeedMaximum(int maximum) override
    {
        Note(QString("max %1").arg(maximum));
        SpeedMaximum = maximum;
    }
    void ReportStateError(const std::exception& error) override { Errors << error.what(); }

private:
    void Note(const QString& event)
    {
        Events << event;
        if (!FailAt.isEmpty() && event.startsWith(FailAt))
            throw std::runtime_error(("failed at " + FailAt).toStdString());
    }
};

// The stored components the sequence restores: a server field and the mode button, whose
// restore runs the mode toggle and notes it.
class StoredComponents
{
public:
    explicit StoredComponents(QStringList& events)
    {
        Form.setObjectName("fMain");
        ServerName.setObjectName("cbServerName");
        ServerName.setParent(&Form);
        ServerName.setProperty("text", QString("www.example.com"));
        ServerMode.setObjectName("rbKvSrv");
        ServerMode.setParent(&Form);
        Events = &events;
    }
    void Bind(TFormStorage& storage)
    {
        storage.SetStoredProps(TFormStorage::MainWindowStoredProps());
        TStoredPropertyAccessor checked;
        checked.Get = [this](QObject*) { return QVariant(ServerModeChecked); };
        checked.Set = [this](QObject*, const QVariant& value) {
            if (value.toBool() != ServerModeChecked)
                *Events << QString("mode toggle %1").arg(value.toBool());
            ServerModeChecked = value.toBool();
            return true;
        };
        storage.SetAccessor("rbKvSrv", "Checked", checked);
        storage.BindStoredProps(&Form);
    }

    QObject Form;
    QObject ServerName;
    QObject ServerMode;
    bool ServerModeChecked = false;
    QStringList* Events;
};

// One program run: the settings file, the recorder, the window's side and the sequence.
struct Run
{
    explicit Run(const QString& file)
    {
        Store.SetFileName(file);
        FormStore.SetAppStorage(&Store);
        Components.Bind(FormStore);
        Window.Placement.Current = {1, 0, QPoint(-1, -1), QPoint(-1, -1), 217, 162, 957, 783};
    }
    TAppIniFileStorage Store;
    TFormStorage FormStore;
    FakeStateWindow Window;
    StoredComponents Components{Window.Events};
    TFormStateSequence Sequence{FormStore, Window};
};

} // namespace

class TestFormStateSequence : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void restoreRunsInOrderBehindTheSplash();
    void restoreRunsOncePerRun();
    void firstStartRestoresDefaults();
    void speedMaximumRoundsHalfToEven_data();
    void speedMaximumRoundsHalfToEven();
    void unusableStatisticsCountAsMissing_data();
    void unusableStatisticsCountAsMissing();
    void failedStepStillEndsWithStoreAndNoSplash_data();
    void failedStepStillEndsWithStoreAndNoSplash();
    void newerFormVersionKeepsDesignButOpensStore();

    void saveWritesStateAndStatisticsBehindTheSplash();
    void saveWithoutRestoreKeepsStoredWindowState();
    void destroySavesOnlyWhenNoSaveRan();
    void failedSaveReleasesSplashAndLogs();
    void statisticsSurviveARestart();

private:
    QString SettingsFile() const { return FTemp->filePath("Korvane/KrvnClnt.ini"); }
    void WriteSettings(const QByteArray& text);
    std::unique_ptr<QTemporaryDir> FTemp;
};

void TestFormStateSequence::init()
{
    FTemp = std::make_unique<QTemporaryDir>();
    QVERIFY(FTemp->isValid());
    qputenv("XDG_DATA_HOME", FTemp->filePath("data").toUtf8());
    qputenv("XDG_CONFIG_HOME", FTemp->filePath("config").toUtf8());
}

void TestFormStateSequence::WriteSettings(const QByteArray& text)
{
    QVERIFY(QDir().mkpath(QFileInfo(SettingsFile()).path()));
    QFile file(SettingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

void TestFormStateSequence::restoreRunsInOrderBehindTheSplash()
{
    // 1234.5 as an 80-bit value, then 8 tests; server mode stored.
    WriteSettings("[fMain]\r\nFormVersion=0\r\nShowCmd=3\r\nPixelsPerInch=96\r\nNormPos=40,50,800,700\r\n"
                  "cbServerName_Text=10.0.0.7\r\nrbKvSrv_Checked=TRUE\r\n"
                  "AccumulatedTestCount=8\r\nAccumulatedAverageSpeed=000000000000509A0940\r\n");
    Run run(SettingsFile());
    run.Window.MaxResult = 2.5;
    run.Sequence.Restore();

    QCOMPARE(run.Window.Events, QStringList({
        "splash Korvane | Korvane v.2.0.0.69 | Loading program data please wait.",
        "placement 40,50",
        "state 2",
        "mode toggle 1",
        "stats 8 1234.5",
        "store",
        "max 2",
        "release",
    }));
    QCOMPARE(run.Components.ServerName.property("text").toString(), QString("10.0.0.7"));
    QVERIFY(run.Window.Errors.isEmpty());
    QVERIFY(run.Sequence.Restored());
    QVERIFY(!run.Window.SplashOpen());
}

void TestFormStateSequence::restoreRunsOncePerRun()
{
    Run run(SettingsFile());
    run.Sequence.Restore();
    const QStringList first = run.Window.Events;
    run.Sequence.Restore();
    QCOMPARE(run.Window.Events, first);
}

void TestFormStateSequence::firstStartRestoresDefaults()
{
    Run run(SettingsFile());
    run.Sequence.Restore();
    // No stored position: the window stays where the system puts it, in its normal state.
    QVERIFY(run.Window.Placement.Applied.isEmpty());
    QCOMPARE(run.Window.Events.mid(1), QStringList({"state 0", "stats 0 0", "store", "max 1", "release"}));
    QCOMPARE(run.Components.ServerName.property("text").toString(), QString("www.example.com"));
    QVERIFY(!run.Components.ServerModeChecked);
    QVERIFY(!QFile::exists(SettingsFile()));   // reading writes nothing
}

void TestFormStateSequence::speedMaximumRoundsHalfToEven_data()
{
    QTest::addColumn<double>("maxResult");
    QTest::addColumn<int>("expected");
    QTest::newRow("no results") << 1.0 << 1;
    QTest::newRow("2.5 down to even") << 2.5 << 2;
    QTest::newRow("3.5 up to even") << 3.5 << 4;
    QTest::newRow("1234.56") << 1234.56 << 1235;
    QTest::newRow("just below half") << 6.4999999 << 6;
    QTest::newRow("beyond int range") << 1e300 << std::numeric_limits<int>::max();
    QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << std::numeric_limits<int>::max();
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << 1;
}

void TestFormStateSequence::speedMaximumRoundsHalfToEven()
{
    QFETCH(double, maxResult);
    QFETCH(int, expected);
    QCOMPARE(TFormStateSequence::SpeedMaximumFor(maxResult), expected);

    Run run(SettingsFile());
    run.Window.MaxResult = maxResult;
    run.Sequence.Restore();
    QCOMPARE(run.Window.SpeedMaximum, expected);
}

void TestFormStateSequence::unusableStatisticsCountAsMissing_data()
{
    QTest::addColumn<QByteArray>("count");
    QTest::addColumn<QByteArray>("average");
    QTest::newRow("words") << QByteArray("many") << QByteArray("fast");
    QTest::newRow("negative count") << QByteArray("-4") << QByteArray("000000000000509A0940");
    QTest::newRow("negative average") << QByteArray("3") << QByteArray("000000000000509A09C0");
    QTest::newRow("infinite average") << QByteArray("3") << QByteArray("0000000000000080FF7F");
    QTest::newRow("not a number") << QByteArray("3") << QByteArray("00000000000000C0FF7F");
}

void TestFormStateSequence::unusableStatisticsCountAsMissing()
{
    QFETCH(QByteArray, count);
    QFETCH(QByteArray, average);
    WriteSettings("[fMain]\r\nAccumulatedTestCount=" + count + "\r\nAccumulatedAverageSpeed=" + average + "\r\n");
    Run run(SettingsFile());
    run.Window.Count = 99;
    run.Sequence.Restore();
    QVERIFY(run.Window.Events.contains("stats 0 0"));
    QVERIFY(run.Window.StoreExists);
    QVERIFY(!run.Window.SplashOpen());
    QVERIFY(run.Window.Errors.isEmpty());
}

void TestFormStateSequence::failedStepStillEndsWithStoreAndNoSplash_data()
{
    QTest::addColumn<QString>("failAt");
    QTest::addColumn<QStringList>("notReached");
    QTest::newRow("opening the splash") << "splash" << QStringList{"placement", "mode toggle"};
    QTest::newRow("placing the window") << "placement" << QStringList{"mode toggle"};
    QTest::newRow("restoring statistics") << "stats" << QStringList{};
}

void TestFormStateSequence::failedStepStillEndsWithStoreAndNoSplash()
{
    QFETCH(QString, failAt);
    QFETCH(QStringList, notReached);
    WriteSettings("[fMain]\r\nPixelsPerInch=96\r\nNormPos=40,50,800,700\r\nrbKvSrv_Checked=TRUE\r\n"
                  "AccumulatedTestCount=8\r\n");
    Run run(SettingsFile());
    run.Window.FailAt = failAt;
    run.Window.MaxResult = 3.5;
    run.Sequence.Restore();

    QCOMPARE(run.Window.Errors, QStringList{"failed at " + failAt});
    for (const QString& step : notReached) {
        const bool reached = std::any_of(run.Window.Events.begin(), run.Window.Events.end(),
                                         [&](const QString& e) { return e.startsWith(step); });
        QVERIFY2(!reached, qPrintable(step));
    }
    // The stored statistics are asked for once, even when an earlier step failed.
    QCOMPARE(run.Window.Events.filter(QRegularExpression("^stats")), QStringList{"stats 8 0"});
    QVERIFY(run.Window.StoreExists);
    QCOMPARE(run.Window.SpeedMaximum, 4);
    QVERIFY(!run.Window.SplashOpen());

    // The close keeps the stored count, whether or not the window took it.
    run.Window.FailAt.clear();
    run.Sequence.Save();
    QVERIFY(run.Sequence.Saved());
    QCOMPARE(run.Store.ReadInteger("fMain\\AccumulatedTestCount"), 8);
}

void TestFormStateSequence::newerFormVersionKeepsDesignButOpensStore()
{
    WriteSettings("[fMain]\r\nFormVersion=-1\r\nPixelsPerInch=96\r\nNormPos=40,50,800,700\r\n"
                  "cbServerName_Text=10.0.0.7\r\nAccumulatedTestCount=8\r\n");
    Run run(SettingsFile());
    run.Sequence.Restore();
    // The window state stays as designed, but the statistics are carried in.
    QCOMPARE(run.Window.Events, QStringList({"stats 8 0", "store", "max 1"}));
    QCOMPARE(run.Components.ServerName.property("text").toString(), QString("www.example.com"));

    // The unapplied window state stays in the file; the version is the current one again.
    run.Sequence.Save();
    QCOMPARE(run.Store.ReadString("fMain\\NormPos"), QString("40,50,800,700"));
    QCOMPARE(run.Store.ReadString("fMain\\cbServerName_Text"), QString("10.0.0.7"));
    QCOMPARE(run.Store.ReadInteger("fMain\\FormVersion"), 0);
    QCOMPARE(run.Store.ReadInteger("fMain\\AccumulatedTestCount"), 8);
}

void TestFormStateSequence::saveWritesStateAndStatisticsBehindTheSplash()
{
    Run run(SettingsFile());
    run.Sequence.Restore();
    run.Window.Events.clear();
    run.Window.Count = 3;
    run.Window.Average = 1234.5;
    run.Components.ServerName.setProperty("text", QString("192.168.1.9"));
    run.Sequence.Save();

    QCOMPARE(run.Window.Events, QStringList({
        "splash Korvane | Korvane v.2.0.0.69 | Saving program data please wait.",
        "release",
    }));
    QCOMPARE(run.Window.MostSplashesOpen, 1);
    QVERIFY(run.Sequence.Saved());
    QVERIFY(!QFile::exists(SettingsFile()));   // only the document in memory changes

    run.Store.Flush();
    QFile file(SettingsFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.value(0), QByteArray("[fMain]\r"));
    QCOMPARE(lines.value(1), QByteArray("FormVersion=0\r"));
    QCOMPARE(lines.value(2), QByteArray("ShowCmd=1\r"));
    QVERIFY(lines.contains("NormPos=217,162,957,783\r"));
    QVERIFY(lines.contains("cbServerName_Text=192.168.1.9\r"));
    QVERIFY(lines.contains("rbKvSrv_Checked=FALSE\r"));
    const qsizetype count = lines.indexOf("AccumulatedTestCount=3\r");
    QVERIFY(count > 0);
    QCOMPARE(lines.value(count + 1), QByteArray("AccumulatedAverageSpeed=000000000000509A0940\r"));
}

void TestFormStateSequence::saveWithoutRestoreKeepsStoredWindowState()
{
    WriteSettings("[fMain]\r\nShowCmd=3\r\nNormPos=40,50,800,700\r\ncbServerName_Text=10.0.0.7\r\n"
                  "AccumulatedTestCount=8\r\n");
    Run run(SettingsFile());
    run.Window.Count = 2;
    run.Sequence.Save();
    QCOMPARE(run.Store.ReadInteger("fMain\\ShowCmd"), 3);
    QCOMPARE(run.Store.ReadString("fMain\\NormPos"), QString("40,50,800,700"));
    QCOMPARE(run.Store.ReadString("fMain\\cbServerName_Text"), QString("10.0.0.7"));
    // Statistics that never came in from the file are not written over it either.
    QCOMPARE(run.Store.ReadInteger("fMain\\AccumulatedTestCount"), 8);
    QVERIFY(!run.Store.ValueStored("fMain\\AccumulatedAverageSpeed"));
    QVERIFY(run.Window.Placement.Applied.isEmpty());
}

void TestFormStateSequence::destroySavesOnlyWhenNoSaveRan()
{
    Run run(SettingsFile());
    run.Sequence.Restore();
    run.Sequence.Save();
    const qsizetype afterClose = run.Window.Events.size();
    run.Sequence.SaveIfNotSaved();
    QCOMPARE(run.Window.Events.size(), afterClose);

    // Told to end without a close: the destroy saves.
    Run terminated(SettingsFile());
    terminated.Sequence.Restore();
    terminated.Window.Events.clear();
    terminated.Window.Count = 5;
    terminated.Sequence.SaveIfNotSaved();
    QCOMPARE(terminated.Window.Events.first(), QString("splash Korvane | Korvane v.2.0.0.69 | Saving program data please wait."));
    QCOMPARE(terminated.Store.ReadInteger("fMain\\AccumulatedTestCount"), 5);
    QVERIFY(terminated.Sequence.Saved());
}

void TestFormStateSequence::failedSaveReleasesSplashAndLogs()
{
    Run run(SettingsFile());
    run.Sequence.Restore();
    run.Window.CountFails = true;   // the after-save handler throws with the splash up
    run.Sequence.Save();
    QCOMPARE(run.Window.Errors, QStringList{"count unavailable"});
    QVERIFY(!run.Sequence.Saved());
    QCOMPARE(run.Window.SplashesOpen, 0);

    // The destroy tries again.
    run.Window.CountFails = false;
    run.Sequence.SaveIfNotSaved();
    QVERIFY(run.Sequence.Saved());
}

void TestFormStateSequence::statisticsSurviveARestart()
{
    const double average = 1.0 / 3.0 * 1e5;
    {
        Run first(SettingsFile());
        first.Sequence.Restore();
        first.Window.Count = 17;
        first.Window.Average = average;
        first.Sequence.Save();
        first.Store.Flush();
    }
    Run second(SettingsFile());
    second.Sequence.Restore();
    QCOMPARE(second.Window.Count, 17);
    QCOMPARE(second.Window.Average, average);
}

QTEST_GUILESS_MAIN(TestFormStateSequence)
#include "tst_FormStateSequence.moc"
