#include "KorvaneBuildConfig.h"

#include <QtTest>

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

// The man pages are the manual of record: what --help lists and what --version says must
// agree with them, so an option added later cannot go undocumented.
class TestProgramDocs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void helpOptionsAreInManPage_data();
    void helpOptionsAreInManPage();
    void versionAgreesWithManPage_data();
    void versionAgreesWithManPage();
    void windowInfoOptionsTouchNothing_data();
    void windowInfoOptionsTouchNothing();

private:
    struct Run
    {
        bool finished = false;
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };
    Run run(const QString &program, const QStringList &arguments,
            const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment()) const;
    static void addPrograms();
    static QString readFile(const QString &path);
    static QSet<QString> longOptions(const QString &text);
    static QString manOptionsSection(const QString &source);

    QString FBinDir;
};

void TestProgramDocs::initTestCase()
{
    FBinDir = qEnvironmentVariable("KORVANE_BIN_DIR");
    QVERIFY2(QFileInfo::exists(FBinDir + QStringLiteral("/korvclnt")), "KORVANE_BIN_DIR must hold the programs");
}

TestProgramDocs::Run TestProgramDocs::run(const QString &program, const QStringList &arguments,
                                          const QProcessEnvironment &environment) const
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(FBinDir + u'/' + program, arguments);
    Run result;
    // A program that ignored the option would open its window or start serving: it never ends.
    result.finished = process.waitForFinished(30000);
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

void TestProgramDocs::addPrograms()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("page");
    QTest::newRow("window") << "korvclnt" << "korvclnt.1";
    QTest::newRow("command-line client") << "korvane-cli" << "korvane-cli.1";
    QTest::newRow("stream server") << "korvane-server" << "korvane-server.8";
}

QString TestProgramDocs::readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

QSet<QString> TestProgramDocs::longOptions(const QString &text)
{
    static const QRegularExpression option(QStringLiteral("(?<![\\w-])--[a-z][a-z0-9-]*"));
    QSet<QString> found;
    for (const auto &match : option.globalMatch(text))
        found.insert(match.captured());
    return found;
}

// The option terms of the OPTIONS section: the lines that start with an emphasised name.
QString TestProgramDocs::manOptionsSection(const QString &source)
{
    const qsizetype start = source.indexOf(QStringLiteral("\n# OPTIONS\n"));
    if (start < 0)
        return {};
    const qsizetype end = source.indexOf(QStringLiteral("\n# "), start + 1);
    QStringList terms;
    for (const QString &line : source.mid(start, end < 0 ? -1 : end - start).split(u'\n'))
        if (line.startsWith(u'*'))
            terms << line;
    return terms.join(u'\n');
}

void TestProgramDocs::helpOptionsAreInManPage_data()
{
    addPrograms();
}

void TestProgramDocs::helpOptionsAreInManPage()
{
    QFETCH(QString, program);
    QFETCH(QString, page);

    const Run help = run(program, {QStringLiteral("--help")});
    QVERIFY2(help.finished, "--help did not end the program");
    QCOMPARE(help.exitCode, 0);
    QVERIFY2(help.err.isEmpty(), help.err.constData());
    const QString usage = QString::fromUtf8(help.out);
    QVERIFY(usage.startsWith(QStringLiteral("Usage: ") + program));
    const QSet<QString> listed = longOptions(usage);
    QVERIFY(listed.contains(QStringLiteral("--help")));
    QVERIFY(listed.contains(QStringLiteral("--version")));

    const QString source = readFile(QStringLiteral(KORVANE_MAN_DIR "/") + page + QStringLiteral(".scd"));
    QVERIFY2(!source.isEmpty(), "man page source not found");
    const QSet<QString> documented = longOptions(manOptionsSection(source));
    const QSet<QString> undocumented = QSet<QString>(listed).subtract(documented);
    const QSet<QString> notInHelp = QSet<QString>(documented).subtract(listed);
    QVERIFY2(undocumented.isEmpty(),
             qPrintable(QStringLiteral("in --help but not in the man page: ") + QStringList(undocumented.values()).join(u' ')));
    QVERIFY2(notInHelp.isEmpty(),
             qPrintable(QStringLiteral("in the man page but not in --help: ") + QStringList(notInHelp.values()).join(u' ')));
}

void TestProgramDocs::versionAgreesWithManPage_data()
{
    addPrograms();
}

void TestProgramDocs::versionAgreesWithManPage()
{
    QFETCH(QString, program);
    QFETCH(QString, page);

    const Run version = run(program, {QStringLiteral("--version")});
    QVERIFY2(version.finished, "--version did not end the program");
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(QString::fromUtf8(version.out),
             program + QStringLiteral(" (Korvane Client) " KORVANE_VERSION_STRING "\n"));
    QVERIFY2(version.err.isEmpty(), version.err.constData());

    // The page's footer, as man shows it, names the same release.
    const QString troff = readFile(QStringLiteral(KORVANE_MAN_DIR "/") + page);
    const QString title = troff.split(u'\n').filter(QRegularExpression(QStringLiteral("^\\.TH "))).value(0);
    QVERIFY2(title.contains(QStringLiteral("\"Korvane Client " KORVANE_VERSION_STRING "\"")), qPrintable(title));
}

void TestProgramDocs::windowInfoOptionsTouchNothing_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("expected");
    QTest::newRow("help") << "--help" << "Usage: korvclnt";
    QTest::newRow("short help") << "-h" << "Usage: korvclnt";
    QTest::newRow("version") << "--version" << "korvclnt (Korvane Client) " KORVANE_VERSION_STRING;
}

// Asking the window program for help must not create its data folder, take the one-copy
// lock or reach a running copy.
void TestProgramDocs::windowInfoOptionsTouchNothing()
{
    QFETCH(QString, option);
    QFETCH(QString, expected);

    QTemporaryDir home;
    QVERIFY(home.isValid());
    for (const char *dir : {"data", "config", "runtime"})
        QVERIFY(QDir(home.path()).mkdir(QString::fromLatin1(dir)));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("runtime")));

    const Run result = run(QStringLiteral("korvclnt"), {option}, environment);
    QVERIFY2(result.finished, "the window started");
    QCOMPARE(result.exitCode, 0);
    QVERIFY(QString::fromUtf8(result.out).startsWith(expected));
    const QStringList left = QDir(home.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    QCOMPARE(left, QStringList({QStringLiteral("config"), QStringLiteral("data"), QStringLiteral("runtime")}));
    for (const char *dir : {"data", "config", "runtime"})
        QVERIFY2(QDir(home.filePath(QString::fromLatin1(dir))).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), dir);
}

QTEST_GUILESS_MAIN(TestProgramDocs)
#include "tst_ProgramDocs.moc"
