#include "tests/tools/ProgramRunner.h"

#include <QJsonArray>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// korvane-cli over each address family against korvane-server on loopback: the target forms,
// the choice of family, the address reported, and a name with both families.
class TestCliFamily : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void targets_data();
    void targets();
    void textNamesTheAddress_data();
    void textNamesTheAddress();
    void nameWithBothFamilies_data();
    void nameWithBothFamilies();
    void pageOnANameWithBothFamilies_data();
    void pageOnANameWithBothFamilies();
    void metricsNameTheFamilyOfIPv6();

private:
    // Runs korvane-cli where dualhost.test has ::1 and 127.0.0.1, from a hosts file seen only
    // inside a private mount namespace; false when such a namespace is not allowed here.
    bool runWithDualHost(const QStringList &arguments, int &status, QByteArray &out, QByteArray &err);
    QTemporaryDir FHostsDir;
    // {P} is the stream port, {S} the session port of the server.
    static QStringList filled(const QStringList &arguments, const ProgramRunner::Server &server);
    ProgramRunner FRunner;
};

void TestCliFamily::initTestCase()
{
    QVERIFY2(FRunner.found(), "KORVANE_BIN_DIR must hold the programs");
}

QStringList TestCliFamily::filled(const QStringList &arguments, const ProgramRunner::Server &server)
{
    QStringList result;
    for (QString a : arguments)
        result << a.replace(QStringLiteral("{P}"), QString::number(server.streamPort))
                      .replace(QStringLiteral("{S}"), QString::number(server.sessionPort));
    return result;
}

void TestCliFamily::targets_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("address"); // empty: none reached
    QTest::addColumn<QString>("errorPart");

    const QStringList stream = {QStringLiteral("--bytes"), QStringLiteral("200000")};
    QTest::newRow("bare IPv6 and --port") << "::1" << QStringList{"--port", "{P}", "::1"} << true << "::1" << "";
    QTest::newRow("IPv6 in brackets with its port") << "::1" << QStringList{"[::1]:{P}"} << true << "::1" << "";
    QTest::newRow("the target's port wins over --port")
        << "::1" << QStringList{"--port", "1", "[::1]:{P}"} << true << "::1" << "";
    QTest::newRow("IPv4 with its port") << "127.0.0.1" << QStringList{"127.0.0.1:{P}"} << true << "127.0.0.1" << "";
    QTest::newRow("-6 over IPv6") << "::1" << QStringList{"-6", "[::1]:{P}"} << true << "::1" << "";
    QTest::newRow("-4 refuses an IPv6 address")
        << "::1" << QStringList{"-4", "[::1]:{P}"} << false << "" << "Address family";
    QTest::newRow("-6 refuses an IPv4 address")
        << "127.0.0.1" << QStringList{"--ipv6", "127.0.0.1:{P}"} << false << "" << "Address family";
    QTest::newRow("zone id refused before any connection")
        << "::1" << QStringList{"[fe80::1%lo]:{P}"} << false << "" << "zone ids are not supported";
    QTest::newRow("session over IPv6, session port in the target")
        << "::1" << QStringList{"--streams", "2", "--seconds", "0.3", "--no-latency", "[::1]:{S}"} << true << "::1"
        << "";
    QTest::newRow("session over IPv6 with --session-port")
        << "::1" << QStringList{"--session-port", "{S}", "--seconds", "0.3", "--direction", "upload", "--no-latency", "::1"}
        << true << "::1" << "";
    QTest::newRow("session over IPv4") << "127.0.0.1"
                                       << QStringList{"--streams", "4", "--seconds", "0.3", "--no-latency", "127.0.0.1:{S}"}
                                       << true << "127.0.0.1" << "";
    QTest::newRow("session with -4 to an IPv6 address")
        << "::1" << QStringList{"-4", "--seconds", "0.3", "[::1]:{S}"} << false << "" << "Cannot find ::1";
}

void TestCliFamily::targets()
{
    QFETCH(QString, listen);
    QFETCH(QStringList, arguments);
    QFETCH(bool, valid);
    QFETCH(QString, address);
    QFETCH(QString, errorPart);

    ProgramRunner::Server server = FRunner.startServer({"--listen", listen, "--bytes", "200000"});
    QVERIFY2(server.started() && server.sessionPort > 0, server.errors.constData());
    QByteArray out;
    QByteArray err;
    const int status = FRunner.runCli(QStringList{"--json"} + filled(arguments, server), &out, &err);
    QCOMPARE(status, valid ? 0 : 1);
    const QList<QJsonObject> lines = ProgramRunner::jsonLines(out);
    QVERIFY2(!lines.isEmpty(), out + err);
    for (const QJsonObject &line : lines) {
        QCOMPARE(line.value("valid").toBool(), valid);
        if (address.isEmpty()) {
            QVERIFY(line.value("address").isNull());
            QVERIFY(line.value("family").isNull());
            QVERIFY2(line.value("error").toString().contains(errorPart), qPrintable(line.value("error").toString()));
        } else {
            QCOMPARE(line.value("address").toString(), address);
            QCOMPARE(line.value("family").toString(), address.contains(u':') ? QString("ipv6") : QString("ipv4"));
        }
    }
}

void TestCliFamily::textNamesTheAddress_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("target"); // {P}: the stream port
    QTest::addColumn<QString>("lastLine"); // {P} too

    QTest::newRow("a name: the address follows the test's lines")
        << "127.0.0.1" << "localhost:{P}" << " - Connected to 127.0.0.1 port {P}.";
    // The log names a numeric target already, so it stays as it always was.
    QTest::newRow("an IPv6 address") << "::1" << "[::1]:{P}" << " - Test finished";
    QTest::newRow("an IPv4 address") << "127.0.0.1" << "127.0.0.1:{P}" << " - Test finished";
}

void TestCliFamily::textNamesTheAddress()
{
    QFETCH(QString, listen);
    QFETCH(QString, target);
    QFETCH(QString, lastLine);
    ProgramRunner::Server server = FRunner.startServer({"--listen", listen, "--bytes", "100000"});
    QVERIFY2(server.started(), server.errors.constData());
    QByteArray out;
    QCOMPARE(FRunner.runCli(filled({target}, server), &out), 0);
    const QStringList lines = QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts);
    const QString typed = filled({target}, server).constFirst();
    QVERIFY2(lines.size() >= 6, out.constData());
    QVERIFY(lines[0].endsWith(QStringLiteral(" - Initiating Test to ") + typed));
    QVERIFY(lines[1].endsWith(QStringLiteral(" - Connecting to ") + typed));
    QVERIFY(lines[2].endsWith(QStringLiteral(" - Receiving data - timer started.")));
    QVERIFY(lines[5].endsWith(QStringLiteral(" - Test finished")));
    QVERIFY2(lines.last().endsWith(filled({lastLine}, server).constFirst()), out.constData());
}

void TestCliFamily::nameWithBothFamilies_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("choice"); // empty: automatic
    QTest::addColumn<QString>("family"); // empty: no connection

    // IPv6 is tried first; where its port is closed the IPv4 address answers.
    QTest::newRow("only IPv4 serves") << "127.0.0.1" << "" << "ipv4";
    QTest::newRow("only IPv6 serves") << "::1" << "" << "ipv6";
    QTest::newRow("-4 keeps to IPv4") << "127.0.0.1" << "-4" << "ipv4";
    QTest::newRow("-6 finds the IPv6 port closed") << "127.0.0.1" << "-6" << "";
}

void TestCliFamily::nameWithBothFamilies()
{
    QFETCH(QString, listen);
    QFETCH(QString, choice);
    QFETCH(QString, family);

    ProgramRunner::Server server = FRunner.startServer({"--listen", listen, "--bytes", "100000"});
    QVERIFY2(server.started(), server.errors.constData());
    QStringList cli = {"--json", "--port", QString::number(server.streamPort)};
    if (!choice.isEmpty())
        cli << choice;
    cli << "dualhost.test";
    int status = 0;
    QByteArray out;
    QByteArray err;
    if (!runWithDualHost(cli, status, out, err))
        QSKIP("no private mount namespace allowed here");
    QCOMPARE(status, family.isEmpty() ? 1 : 0);
    const QList<QJsonObject> lines = ProgramRunner::jsonLines(out);
    QVERIFY2(lines.size() == 1, out + err);
    if (family.isEmpty()) {
        QVERIFY(lines[0].value("family").isNull());
        QVERIFY2(lines[0].value("error").toString().contains("Connection refused"),
                 qPrintable(lines[0].value("error").toString()));
    } else {
        QCOMPARE(lines[0].value("family").toString(), family);
        QCOMPARE(lines[0].value("address").toString(), family == "ipv6" ? QString("::1") : QString("127.0.0.1"));
    }
}

bool TestCliFamily::runWithDualHost(const QStringList &arguments, int &status, QByteArray &out, QByteArray &err)
{
    if (QStandardPaths::findExecutable("unshare").isEmpty() || !FHostsDir.isValid())
        return false;
    const QString hosts = FHostsDir.filePath("hosts");
    QFile file(hosts);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("::1 dualhost.test\n127.0.0.1 dualhost.test\n");
    file.close();
    const QString bind = QStringLiteral("mount --bind \"$0\" /etc/hosts");
    if (ProgramRunner::run("unshare", {"-m", "sh", "-c", bind, hosts}) != 0)
        return false;
    status = ProgramRunner::run("unshare",
                                QStringList{"-m", "sh", "-c", bind + QStringLiteral(" && exec \"$@\""), hosts,
                                            FRunner.binDir() + "/korvane-cli"}
                                    + arguments,
                                &out, &err);
    return true;
}

void TestCliFamily::pageOnANameWithBothFamilies_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("family");
    QTest::addColumn<bool>("connectedLine");

    // "Connecting to ::1." names the address tried first; the one that answered follows.
    QTest::newRow("only IPv4 serves") << "127.0.0.1" << "ipv4" << true;
    QTest::newRow("only IPv6 serves") << "::1" << "ipv6" << false;
}

void TestCliFamily::pageOnANameWithBothFamilies()
{
    QFETCH(QString, listen);
    QFETCH(QString, family);
    QFETCH(bool, connectedLine);
    if (QStandardPaths::findExecutable("python3").isEmpty())
        QSKIP("python3 is missing");
    QTemporaryDir site;
    QFile page(site.filePath("index.html"));
    QVERIFY(page.open(QIODevice::WriteOnly));
    page.write(QByteArray(20000, 'k'));
    page.close();
    QProcess web;
    web.setWorkingDirectory(site.path());
    web.start("python3", {"-u", "-m", "http.server", "0", "--bind", listen});
    static const QRegularExpression serving(QStringLiteral("Serving HTTP on \\S+ port (\\d+)"));
    QString announced;
    QRegularExpressionMatch m;
    QTRY_VERIFY_WITH_TIMEOUT((announced += QString::fromUtf8(web.readAllStandardOutput()),
                              (m = serving.match(announced)).hasMatch()),
                             10000);
    const QString url = QStringLiteral("http://dualhost.test:%1/").arg(m.captured(1));

    int status = 0;
    QByteArray out;
    QByteArray err;
    if (!runWithDualHost({"--web", "--json", url}, status, out, err))
        QSKIP("no private mount namespace allowed here");
    QCOMPARE(status, 0);
    const QList<QJsonObject> lines = ProgramRunner::jsonLines(out);
    QVERIFY2(lines.size() == 1, out + err);
    QCOMPARE(lines[0].value("family").toString(), family);
    QCOMPARE(lines[0].value("bytes").toInt(), 20000);

    QVERIFY(runWithDualHost({"--web", url}, status, out, err));
    QCOMPARE(status, 0);
    const QString text = QString::fromUtf8(out).trimmed();
    QVERIFY2(text.contains(QStringLiteral(" - Connecting to ::1.")), qPrintable(text));
    QVERIFY2(text.endsWith(QStringLiteral(" - Connected to 127.0.0.1 port %1.").arg(m.captured(1))) == connectedLine,
             qPrintable(text));
    web.kill();
    web.waitForFinished();
}

void TestCliFamily::metricsNameTheFamilyOfIPv6()
{
    ProgramRunner::Server server = FRunner.startServer({"--bytes", "100000"}); // both families
    QVERIFY2(server.started(), server.errors.constData());
    QTemporaryDir dir;
    const QString file = dir.filePath("korvane.prom");
    for (const QString &target : {QStringLiteral("[::1]:{P}"), QStringLiteral("127.0.0.1:{P}")})
        QCOMPARE(FRunner.runCli({"--metrics-file", file, filled({target}, server).constFirst()}), 0);
    QFile metrics(file);
    QVERIFY(metrics.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(metrics.readAll());
    const QString v6 = QStringLiteral("target=\"[::1]:%1\",mode=\"server\"").arg(server.streamPort);
    const QString v4 = QStringLiteral("target=\"127.0.0.1:%1\",mode=\"server\"").arg(server.streamPort);
    QVERIFY2(text.contains(QStringLiteral("korvane_last_family{%1,family=\"ipv6\"} 1").arg(v6)), qPrintable(text));
    // As in the results table, an IPv4 series is left as such series always were.
    QVERIFY2(text.contains(QStringLiteral("korvane_last_rate_bytes_per_second{%1}").arg(v4)), qPrintable(text));
    QVERIFY2(!text.contains(QStringLiteral("korvane_last_family{%1").arg(v4)), qPrintable(text));
}

QTEST_GUILESS_MAIN(TestCliFamily)
#include "tst_clifamily.moc"
