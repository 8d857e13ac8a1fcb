#include "settings/AppIniFileStorage.h"
#include "settings/StatusPanel.h"

#include <QtTest>

namespace {

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

} // namespace

class TestAppIniFileStorage : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void parsesAndKeepsWhatItDoesNotKnow();
    void writesInPlaceOrAppends();
    void readRules_data();
    void readRules();
    void shorterListDeletesSurplusItems();
    void listFromSingleValueAndMissingCount();
    void damagedCountIsBounded();
    void shorterCollectionErasesSurplusItems();
    void emptyPathIsIgnored();

    void keepsByteOrderMark_data();
    void keepsByteOrderMark();
    void keepsBytesOfAFileThatIsNotUtf8();
    void valuesSurviveASave_data();
    void valuesSurviveASave();
    void indexFollowsDeletesAndRepeatedKeys();
    void longListRoundTrips();
    void sectionsOfAnotherCopyAreKept();
    void leavesReadOnlyFileAlone();
    void createsMissingFoldersAndReplacesWhole();
    void fileNameRulesAndReload();
    void writesNothingWithoutAFileName();

private:
    QString PathInTemp(const QString& name) const { return FTemp->filePath(name); }
    std::unique_ptr<QTemporaryDir> FTemp;
};

void TestAppIniFileStorage::initTestCase()
{
    QLocale::setDefault(QLocale::c());
}

void TestAppIniFileStorage::init()
{
    FTemp = std::make_unique<QTemporaryDir>();
    QVERIFY(FTemp->isValid());
    qputenv("XDG_DATA_HOME", FTemp->filePath("data").toUtf8());
    qputenv("XDG_CONFIG_HOME", FTemp->filePath("config").toUtf8());
}

void TestAppIniFileStorage::parsesAndKeepsWhatItDoesNotKnow()
{
    const QString file = PathInTemp("Parse.ini");
    WriteAll(file, "orphan=dropped\r\n"
                   "; comment dropped\n"
                   "[ fMain ]\n"
                   "   cbServerName_Text  =  example.com  \r\n"
                   "\n"
                   "Equation= a=b \n"
                   "no equals sign here\n"
                   "[OldSection]\r\n"
                   "Legacy=1\r");
    TAppIniFileStorage store;
    store.SetFileName(file);

    QCOMPARE(store.ReadString(R"(FMAIN\CBSERVERNAME_TEXT)"), QString("example.com"));
    QCOMPARE(store.ReadString(R"(fMain\Equation)"), QString("a=b"));
    QVERIFY(!store.ValueStored(R"(fMain\orphan)"));
    QCOMPARE(store.Document().SectionLines("fMain"),
             (QStringList{"cbServerName_Text=example.com", "Equation=a=b", "no equals sign here"}));

    store.Flush();
    QCOMPARE(ReadAll(file), QByteArray("[fMain]\r\n"
                                       "cbServerName_Text=example.com\r\n"
                                       "Equation=a=b\r\n"
                                       "no equals sign here\r\n"
                                       "\r\n"
                                       "[OldSection]\r\n"
                                       "Legacy=1\r\n"
                                       "\r\n"));
}

void TestAppIniFileStorage::writesInPlaceOrAppends()
{
    TAppIniFileStorage store;
    store.WriteString(R"(A\One)", "1");
    store.WriteString(R"(B\Two)", "2");
    store.WriteString(R"(A\Three)", "3");
    store.WriteString(R"(a\ONE)", "uno");
    QCOMPARE(store.Document().SectionNames(), (QStringList{"A", "B"}));
    QCOMPARE(store.Document().SectionLines("A"), (QStringList{"ONE=uno", "Three=3"}));
    store.DeleteValue(R"(A\three)");
    QCOMPARE(store.Document().SectionLines("A"), QStringList{"ONE=uno"});
}

void TestAppIniFileStorage::readRules_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QVariant>("fallback");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<bool>("readable");

    QTest::newRow("bool yes") << "bool" << "yes" << QVariant(false) << QVariant(true) << true;
    QTest::newRow("bool n") << "bool" << "n" << QVariant(true) << QVariant(false) << true;
    QTest::newRow("bool True") << "bool" << "True" << QVariant(false) << QVariant(true) << true;
    QTest::newRow("bool number") << "bool" << "-2" << QVariant(false) << QVariant(true) << true;
    QTest::newRow("bool zero") << "bool" << "0" << QVariant(true) << QVariant(false) << true;
    QTest::newRow("bool garbage") << "bool" << "maybe" << QVariant(true) << QVariant(true) << false;

    QTest::newRow("int") << "int" << "-42" << QVariant(7) << QVariant(-42) << true;
    QTest::newRow("int empty is zero") << "int" << "" << QVariant(7) << QVariant(0) << true;
    QTest::newRow("int garbage") << "int" << "12abc" << QVariant(7) << QVariant(7) << false;
    QTest::newRow("int too large") << "int" << "4294967296" << QVariant(7) << QVariant(7) << false;

    QTest::newRow("float port") << "float" << "00000000000000A00540" << QVariant(0.0) << QVariant(80.0) << true;
    QTest::newRow("float lower case") << "float" << "000000000000509a0940" << QVariant(0.0) << QVariant(1234.5) << true;
    QTest::newRow("float 8080 is two bytes") << "float" << "8080" << QVariant(80.0) << QVariant(80.0) << true;
    QTest::newRow("float odd digit count") << "float" << "000000000000080FF3F" << QVariant(5.0) << QVariant(1.0) << true;
    QTest::newRow("float nine bytes") << "float" << "000000000000A00540" << QVariant(5.0) << QVariant(5.0) << true;
    QTest::newRow("float decimal") << "float" << "8080.5" << QVariant(80.0) << QVariant(8080.5) << true;
    QTest::newRow("float negative decimal") << "float" << "-3" << QVariant(80.0) << QVariant(-3.0) << true;
    QTest::newRow("float garbage") << "float" << "port" << QVariant(80.0) << QVariant(80.0) << false;
    QTest::newRow("float empty") << "float" << "" << QVariant(80.0) << QVariant(80.0) << true;

    QTest::newRow("enum identifier any case") << "enum" << "TACENTER" << QVariant(0) << QVariant(2) << true;
    QTest::newRow("enum ordinal") << "enum" << "1" << QVariant(0) << QVariant(1) << true;
    QTest::newRow("enum ordinal out of range") << "enum" << "7" << QVariant(1) << QVariant(1) << false;
    QTest::newRow("enum unknown") << "enum" << "taJustify" << QVariant(1) << QVariant(1) << false;
}

void TestAppIniFileStorage::readRules()
{
    QFETCH(QString, kind);
    QFETCH(QString, stored);
    QFETCH(QVariant, fallback);
    QFETCH(QVariant, expected);
    QFETCH(bool, readable);

    TAppIniFileStorage store;
    const QString path = R"(fMain\Value)";
    store.WriteString(path, stored);
    bool ok = false;
    QVariant actual;
    if (kind == "bool")
        actual = store.ReadBoolean(path, fallback.toBool(), &ok);
    else if (kind == "int")
        actual = store.ReadInteger(path, fallback.toInt(), &ok);
    else if (kind == "float")
        actual = store.ReadFloat(path, fallback.toDouble(), &ok);
    else
        actual = store.ReadEnumeration(path, {"taLeftJustify", "taRightJustify", "taCenter"}, fallback.toInt(), &ok);
    QCOMPARE(actual, expected);
    QCOMPARE(ok, readable);

    // A missing key always gives the default.
    QCOMPARE(store.ReadInteger(R"(fMain\Missing)", 9), 9);
}

void TestAppIniFileStorage::shorterListDeletesSurplusItems()
{
    TAppIniFileStorage store;
    const QString path = R"(fMain\mmDIsplay_Lines)";
    QStringList ten;
    for (int i = 0; i < 10; ++i)
        ten << QString("line %1").arg(i);
    store.WriteStringList(path, ten);
    store.WriteString(R"(fMain\mmDIsplay_Lines\Unrelated)", "kept");
    store.WriteStringList(path, {"  padded", "a=b", "c"});

    QCOMPARE(store.Document().SectionLines(path),
             (QStringList{"Item0=  padded", "Item1=a=b", "Item2=c", "Count=3", "Unrelated=kept"}));
    store.WriteStringList(path, {});
    QCOMPARE(store.Document().SectionLines(path), (QStringList{"Count=0", "Unrelated=kept"}));
}

void TestAppIniFileStorage::listFromSingleValueAndMissingCount()
{
    TAppIniFileStorage store;
    const QStringList fallback{"default"};
    QCOMPARE(store.ReadStringList(R"(fMain\List)", fallback), fallback);
    store.WriteString(R"(fMain\List\Item0)", "no count");
    QCOMPARE(store.ReadStringList(R"(fMain\List)", fallback), fallback);
    store.WriteString(R"(fMain\List)", "single");
    QCOMPARE(store.ReadStringList(R"(fMain\List)", fallback), QStringList{"single"});
    store.WriteString(R"(fMain\List\Count)", "2");
    QCOMPARE(store.ReadStringList(R"(fMain\List)", fallback), (QStringList{"no count", ""}));
}

void TestAppIniFileStorage::damagedCountIsBounded()
{
    TAppIniFileStorage store;
    store.WriteString(R"(fMain\List\Count)", "2000000000");
    QCOMPARE(store.ReadStringList(R"(fMain\List)").size(), 100000);
    store.WriteString(R"(fMain\List\Count)", "-5");
    QVERIFY(store.ReadStringList(R"(fMain\List)", {"x"}).isEmpty());
    store.WriteString(R"(fMain\List\Count)", "many");
    QCOMPARE(store.ReadStringList(R"(fMain\List)", {"x"}), QStringList{"x"});
    // Writing over a damaged count must not walk two billion keys.
    store.WriteString(R"(fMain\List\Count)", "2000000000");
    store.WriteStringList(R"(fMain\List)", {"only"});
    QCOMPARE(store.Document().SectionLines(R"(fMain\List)"), (QStringList{"Count=1", "Item0=only"}));
}

void TestAppIniFileStorage::shorterCollectionErasesSurplusItems()
{
    TAppIniFileStorage store;
    const QString path = R"(fMain\StatusPane1_Panels)";
    TStatusPanel wide, narrow;
    wide.Width = 200;
    narrow.Text = "ready";
    narrow.Alignment = TStatusPanel::taCenter;
    store.WriteCollection(path, TStatusPanel::ToCollection({wide, narrow, wide}));
    QCOMPARE(store.ReadInteger(path + R"(\Count)"), 3);

    store.WriteCollection(path, TStatusPanel::ToCollection({narrow}));
    QVERIFY(!store.Document().SectionExists(path + R"(\Item1)"));
    QVERIFY(!store.Document().SectionExists(path + R"(\Item2)"));
    QCOMPARE(store.ReadString(path + R"(\Item0\Alignment)"), QString("taCenter"));

    const auto panels = TStatusPanel::FromCollection(
        store.ReadCollection(path, TStatusPanel::ToCollection({wide, wide})));
    QCOMPARE(panels.size(), 1);
    QCOMPARE(panels[0].Text, QString("ready"));
    QCOMPARE(panels[0].Alignment, TStatusPanel::taCenter);
    QCOMPARE(panels[0].Width, 50);
}

void TestAppIniFileStorage::emptyPathIsIgnored()
{
    TAppIniFileStorage store;
    store.WriteString("", "x");
    store.WriteString(R"(\.\)", "x");
    QVERIFY(store.Document().SectionNames().isEmpty());
    QCOMPARE(store.ReadString("", "d"), QString("d"));
}

void TestAppIniFileStorage::keepsByteOrderMark_data()
{
    QTest::addColumn<QByteArray>("mark");
    QTest::addColumn<int>("codec");
    QTest::newRow("UTF-8") << QByteArray("\xEF\xBB\xBF") << int(QStringConverter::Utf8);
    QTest::newRow("UTF-16 LE") << QByteArray("\xFF\xFE") << int(QStringConverter::Utf16LE);
    QTest::newRow("UTF-16 BE") << QByteArray("\xFE\xFF") << int(QStringConverter::Utf16BE);
}

void TestAppIniFileStorage::keepsByteOrderMark()
{
    QFETCH(QByteArray, mark);
    QFETCH(int, codec);
    auto encode = [codec](const QString& text) {
        QStringEncoder encoder{QStringConverter::Encoding(codec)};
        return QByteArray(encoder(text));
    };
    const QString file = PathInTemp("Marked.ini");
    WriteAll(file, mark + encode("[fMain]\r\nName=Grüße\r\n"));

    TAppIniFileStorage store;
    store.SetFileName(file);
    QCOMPARE(store.ReadString(R"(fMain\Name)"), QString("Grüße"));
    store.WriteString(R"(fMain\More)", "€");
    store.Flush();
    QCOMPARE(ReadAll(file), mark + encode("[fMain]\r\nName=Grüße\r\nMore=€\r\n\r\n"));
}

void TestAppIniFileStorage::keepsBytesOfAFileThatIsNotUtf8()
{
    const QString file = PathInTemp("Latin.ini");
    const QByteArray latin("[fMain]\r\nName=Gr\xFC\xDF" "e\r\n\r\n");
    WriteAll(file, latin);
    TAppIniFileStorage store;
    store.SetFileName(file);
    QCOMPARE(store.ReadString(R"(fMain\Name)"), QString("Grüße"));
    store.Flush();
    QCOMPARE(ReadAll(file), latin);
}

void TestAppIniFileStorage::valuesSurviveASave_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    // Each line is read on its own: a stray byte makes only its own line Latin-1.
    const QByteArray mixed("[fMain]\r\nCity=Z\xC3\xBCrich\r\nOld=caf\xE9\r\n");
    QTest::newRow("utf-8 beside a stray byte") << mixed << R"(fMain\City)" << "Zürich";
    QTest::newRow("the stray line itself") << mixed << R"(fMain\Old)" << "café";
    QTest::newRow("utf-8 after a mark, stray byte below")
        << QByteArray("\xEF\xBB\xBF[S]\r\nA=\xC3\xA9\r\nB=\xE9\r\n") << R"(S\A)" << "é";
    // Trimming the Latin-1 no-break space leaves bytes that would read as UTF-8.
    QTest::newRow("latin-1 line trimmed into utf-8 bytes")
        << QByteArray("[S]\r\nK=\xC3\xBC\xA0\r\n") << R"(S\K)" << "Ã¼";
    QTest::newRow("latin-1 section name")
        << QByteArray("[Gr\xFC\xDF" "e]\r\nK=v\r\n") << "Grüße\\K" << "v";
    QTest::newRow("encoded surrogate is not utf-8")
        << QByteArray("[S]\r\nK=\xED\xA0\x80x\r\n") << R"(S\K)" << QString::fromLatin1("\xED\xA0\x80x");
    QTest::newRow("overlong form is not utf-8")
        << QByteArray("[S]\r\nK=\xC0\xAFx\r\n") << R"(S\K)" << QString::fromLatin1("\xC0\xAFx");
    // A mark behind a blank would lead the saved line and be dropped when read again.
    QTest::newRow("byte order mark behind a blank")
        << QByteArray("[S]\r\n \xEF\xBB\xBFK=v\r\n \xEF\xBB\xBF\xEF\xBB\xBFLone\r\n") << R"(S\K)" << "v";
    QTest::newRow("joined files: a mark before a section")
        << QByteArray("[A]\r\nX=1\r\n\xEF\xBB\xBF[S]\r\nK=v\r\n") << R"(S\K)" << "v";
    QByteArray utf16("\xFF\xFE", 2);
    for (char16_t c : u"[S]\r\nK=a\xD800" "b\r\n")
        if (c)
            utf16 += QByteArray(reinterpret_cast<const char*>(&c), 2);
    QTest::newRow("utf-16 lone surrogate") << utf16 << R"(S\K)" << QStringLiteral("a\uFFFDb");
}

// Whatever the loader makes of a file, a save writes it so the next load reads the same
// values, also after the program changed other values in it.
void TestAppIniFileStorage::valuesSurviveASave()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, path);
    QFETCH(QString, expected);
    const QString file = PathInTemp("Mixed.ini");
    WriteAll(file, bytes);

    QStringList before;
    {
        TAppIniFileStorage store;
        store.SetFileName(file);
        QCOMPARE(store.ReadString(path), expected);
        for (const QString& section : store.Document().SectionNames())
            before << section << store.Document().SectionLines(section);
        store.WriteString(R"(fMain\Added)", "€ and ü");
    }
    QByteArray saved = ReadAll(file);
    {
        TAppIniFileStorage store;
        store.SetFileName(file);
        QCOMPARE(store.ReadString(path), expected);
        QCOMPARE(store.ReadString(R"(fMain\Added)"), QString("€ and ü"));
        QStringList after;
        for (const QString& section : store.Document().SectionNames())
            if (section != "fMain" || before.contains("fMain"))
                after << section << store.Document().SectionLines(section);
        after.removeAll("Added=€ and ü");
        if (!before.contains("fMain"))
            after.removeAll("fMain");
        QCOMPARE(after, before);
    }
    // A second save changes nothing more.
    {
        TAppIniFileStorage store;
        store.SetFileName(file);
        store.WriteString(R"(fMain\Added)", "€ and ü");
    }
    QCOMPARE(ReadAll(file), saved);
}

void TestAppIniFileStorage::indexFollowsDeletesAndRepeatedKeys()
{
    const QString file = PathInTemp("Repeated.ini");
    WriteAll(file, "[S]\nKey=first\nkey=second\nOther=1\n[s]\nKey=third\n");
    TAppIniFileStorage store;
    store.SetFileName(file);
    QCOMPARE(store.ReadString(R"(S\KEY)"), QString("first"));
    store.DeleteValue(R"(S\Key)");
    QCOMPARE(store.ReadString(R"(S\Key)"), QString("second"));
    store.WriteString(R"(S\Key)", "replaced");
    QCOMPARE(store.Document().SectionLines("S"), (QStringList{"Key=replaced", "Other=1", "Key=third"}));
    store.DeleteSubTree("S");
    QVERIFY(!store.ValueStored(R"(S\Other)"));
    store.WriteString(R"(s\New)", "n");
    QCOMPARE(store.Document().SectionNames(), QStringList{"s"});
}

void TestAppIniFileStorage::longListRoundTrips()
{
    const QString file = PathInTemp("Long.ini");
    QStringList log;
    for (int i = 0; i < 20000; ++i)
        log << QStringLiteral("line %1 = %2 ä").arg(i).arg(i % 7);
    {
        TAppIniFileStorage store;
        store.SetFileName(file);
        store.WriteStringList(R"(fMain\mmDIsplay_Lines)", log);
    }
    TAppIniFileStorage store;
    store.SetFileName(file);
    QCOMPARE(store.ReadStringList(R"(fMain\mmDIsplay_Lines)"), log);
    store.WriteStringList(R"(fMain\mmDIsplay_Lines)", log.mid(0, 3));
    QCOMPARE(store.Document().SectionLines(R"(fMain\mmDIsplay_Lines)"),
             (QStringList{"Item0=" + log[0], "Item1=" + log[1], "Item2=" + log[2], "Count=3"}));
}

// Two copies (from two paths) share the file: the last to save wins, but a section only
// the other one wrote is not lost, and one this copy erased does not come back.
void TestAppIniFileStorage::sectionsOfAnotherCopyAreKept()
{
    const QString file = PathInTemp("Shared.ini");
    WriteAll(file, "[fMain]\r\nKey=start\r\n[Old]\r\nA=1\r\n");
    TAppIniFileStorage mine;
    mine.SetFileName(file);
    {
        TAppIniFileStorage other;
        other.SetFileName(file);
        other.WriteString(R"(fMain\Key)", "other");
        other.WriteString(R"(Newer\B)", "2");
        QCOMPARE(other.Flush(), QString());
    }
    mine.WriteString(R"(fMain\Key)", "mine");
    mine.DeleteSubTree("Old");
    QCOMPARE(mine.Flush(), QString());
    QCOMPARE(ReadAll(file), QByteArray("[fMain]\r\nKey=mine\r\n\r\n[Newer]\r\nB=2\r\n\r\n"));
}

void TestAppIniFileStorage::leavesReadOnlyFileAlone()
{
    const QString file = PathInTemp("ReadOnly.ini");
    const QByteArray original("; mine\n[fMain]\nKey=old\n");
    WriteAll(file, original);
    QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    {
        TAppIniFileStorage store;
        store.SetFileName(file);
        store.WriteString(R"(fMain\Key)", "new");
        store.Flush();
    }   // the destructor flushes too
    QCOMPARE(ReadAll(file), original);
}

void TestAppIniFileStorage::createsMissingFoldersAndReplacesWhole()
{
    const QString file = PathInTemp("a/b/c/Settings.ini");
    TAppIniFileStorage store;
    store.SetFileName(file);
    store.WriteInteger(R"(fMain\FormVersion)", 0);
    store.Flush();
    QCOMPARE(ReadAll(file), QByteArray("[fMain]\r\nFormVersion=0\r\n\r\n"));
    // Nothing but the file itself and its lock is left in its folder: no temporary remains.
    QCOMPARE(QDir(PathInTemp("a/b/c")).entryList(QDir::Files | QDir::Hidden),
             (QStringList{"Settings.ini", "Settings.ini.lock"}));

    // Replacing the file keeps the owner's choice of who may read it.
    const auto privateFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QVERIFY(QFile::setPermissions(file, privateFile));
    store.WriteInteger(R"(fMain\FormVersion)", 1);
    store.Flush();
    QCOMPARE(ReadAll(file), QByteArray("[fMain]\r\nFormVersion=1\r\n\r\n"));
    QCOMPARE(QFile::permissions(file) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser),
             privateFile);
}

void TestAppIniFileStorage::fileNameRulesAndReload()
{
    const QString first = PathInTemp("First");
    const QString second = PathInTemp("Second.cfg");
    WriteAll(second, "[S]\nK=from disk\n");

    TAppIniFileStorage store;
    store.ReloadIfNeeded();   // no file name yet: stays empty
    QVERIFY(store.Document().SectionNames().isEmpty());
    store.SetFileName(first);
    QCOMPARE(store.FileName(), first + ".ini");
    store.WriteString(R"(S\K)", "unsaved");

    // Switching names writes the old file, then reads the new one.
    store.SetFileName(second);
    QCOMPARE(ReadAll(first + ".ini"), QByteArray("[S]\r\nK=unsaved\r\n\r\n"));
    QCOMPARE(store.ReadString(R"(S\K)"), QString("from disk"));

    store.WriteString(R"(S\K)", "in memory");
    store.ReloadIfNeeded();   // already loaded
    QCOMPARE(store.ReadString(R"(S\K)"), QString("in memory"));
    store.SetFileName(second);   // same name: no reload
    QCOMPARE(store.ReadString(R"(S\K)"), QString("in memory"));
}

void TestAppIniFileStorage::writesNothingWithoutAFileName()
{
    TAppIniFileStorage store;
    store.WriteString(R"(S\K)", "v");
    store.Flush();
    QCOMPARE(QDir(FTemp->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

QTEST_GUILESS_MAIN(TestAppIniFileStorage)
#include "tst_AppIniFileStorage.moc"
