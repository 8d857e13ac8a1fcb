#include "engine/ApplicationExceptionHandler.h"
#include "protocol/SessionMessage.h"
#include "engine/session/TSessionTest.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <vector>

// A session that a slot ends from inside one of its own signals: whatever the slot cancels on,
// Finished comes once and nothing follows it. The server is scripted here, so that every line
// comes exactly when the session needs it.
class TestSessionEnding : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cancelFromSignal_data();
    void cancelFromSignal();

private:
    QStringList FUnexpected;
};

namespace {

std::string token()
{
    return std::string(32, 'a');
}

void writeLine(QTcpSocket *socket, const SessionMessage &m)
{
    socket->write(QByteArray::fromStdString(SessionProtocol::write(m)));
}

// Answers one session: the greeting, the acceptance, then every direction in turn (a
// download of 1000 bytes on its stream, then closed; an upload taken as 1000 bytes) and the end.
class ScriptedServer : public QObject
{
public:
    explicit ScriptedServer(SessionDirection requested)
        : FDirections(requested == SessionDirection::Both
                          ? std::vector<SessionDirection>{SessionDirection::Download, SessionDirection::Upload}
                          : std::vector<SessionDirection>{requested})
    {
        FServer.listen(QHostAddress::LocalHost);
        connect(&FServer, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = FServer.nextPendingConnection()) {
                writeLine(socket, SessionHello{SessionProtocol::Version, token(), false});
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
    }
    int port() const { return FServer.serverPort(); }

private:
    void read(QTcpSocket *socket)
    {
        while (socket->canReadLine()) {
            const QByteArray line = socket->readLine().trimmed();
            SessionMessage m;
            std::string problem;
            if (!SessionProtocol::parse(line.toStdString(), m, problem))
                continue; // an upload's payload
            if (const auto *request = std::get_if<SessionRequest>(&m)) {
                FControl = socket;
                writeLine(socket, SessionAccepted{token(), request->direction, 1, 0, request->bytes});
            } else if (const auto *join = std::get_if<SessionJoin>(&m)) {
                FData.resize(std::max<size_t>(FData.size(), join->stream + 1));
                FData[join->stream] = socket;
                if (++FJoined == int(FDirections.size()))
                    run();
            }
        }
    }

    // A download's payload comes in two parts a little apart, so that it spans some time.
    void run(size_t next = 0)
    {
        if (next == FDirections.size()) {
            writeLine(FControl, SessionEnd{});
            return;
        }
        const SessionDirection d = FDirections[next];
        writeLine(FControl, SessionStart{d});
        if (d == SessionDirection::Upload) {
            writeLine(FControl, SessionSummary{d, 1000, 1000, {SessionStreamFigures{0, 1000, 1000, {}}}});
            run(next + 1);
            return;
        }
        FData[next]->write(QByteArray(500, 'x'));
        QTimer::singleShot(20, this, [this, next, d] {
            FData[next]->write(QByteArray(500, 'x'));
            FData[next]->disconnectFromHost();
            writeLine(FControl, SessionSummary{d, 1000, 1000, {SessionStreamFigures{0, 1000, 1000, {}}}});
            run(next + 1);
        });
    }

    std::vector<SessionDirection> FDirections;
    QTcpServer FServer;
    QTcpSocket *FControl = nullptr;
    std::vector<QTcpSocket *> FData;
    int FJoined = 0;
};

} // namespace

void TestSessionEnding::initTestCase()
{
    setApplicationExceptionHandler([this](const std::exception &e) { FUnexpected << QString::fromLocal8Bit(e.what()); });
}

void TestSessionEnding::cancelFromSignal_data()
{
    QTest::addColumn<int>("direction"); // TSessionRequest::Directions
    QTest::addColumn<QString>("cancelOn"); // a status line's text, or "result" for the first result
    QTest::addColumn<QStringList>("results"); // per direction: "valid", or the error
    QTest::addColumn<bool>("uploadStarted"); // whether the upload's result has a start time

    QTest::newRow("download finished line") << int(TSessionRequest::Download) << "Download finished"
                                            << QStringList{"Test cancelled"} << false;
    QTest::newRow("session finished line") << int(TSessionRequest::Download) << "Session finished"
                                           << QStringList{"valid"} << false;
    QTest::newRow("upload finished line") << int(TSessionRequest::Upload) << "Upload finished"
                                          << QStringList{"Test cancelled"} << true;
    QTest::newRow("download's result, upload not yet started")
        << int(TSessionRequest::Both) << "result" << QStringList{"valid", "Test cancelled"} << false;
    QTest::newRow("nothing cancels") << int(TSessionRequest::Both) << QString() << QStringList{"valid", "valid"}
                                     << true;
}

void TestSessionEnding::cancelFromSignal()
{
    QFETCH(int, direction);
    QFETCH(QString, cancelOn);
    QFETCH(QStringList, results);
    QFETCH(bool, uploadStarted);

    const auto requested = TSessionRequest::Directions(direction);
    ScriptedServer server(requested == TSessionRequest::Download ? SessionDirection::Download
                          : requested == TSessionRequest::Upload ? SessionDirection::Upload
                                                                 : SessionDirection::Both);
    QVERIFY(server.port() > 0);
    TSessionTest test;
    test.setProgressInterval(0);
    int finished = 0;
    QStringList afterFinished;
    std::vector<TSessionResult> seen;
    connect(&test, &TSessionTest::StatusMsg, this, [&](const QString &line) {
        if (finished)
            afterFinished << line;
        if (!cancelOn.isEmpty() && line.contains(cancelOn))
            test.Cancel();
    });
    connect(&test, &TSessionTest::Result, this, [&](const TSessionResult &r) {
        if (finished)
            afterFinished << QStringLiteral("result");
        seen.push_back(r);
        if (cancelOn == QLatin1String("result") && seen.size() == 1)
            test.Cancel();
    });
    connect(&test, &TSessionTest::Finished, this, [&] { ++finished; });

    TSessionRequest request;
    request.Host = QStringLiteral("127.0.0.1");
    request.SessionPort = server.port();
    request.Direction = requested;
    request.Bytes = 1000;
    test.Start(request);
    QTRY_VERIFY_WITH_TIMEOUT(finished > 0, 20000);
    QTest::qWait(100); // anything the session still had to say

    QCOMPARE(finished, 1);
    QCOMPARE(afterFinished, QStringList());
    QVERIFY(!test.Running());
    QCOMPARE(test.Cancelled(), !cancelOn.isEmpty());
    QCOMPARE(int(seen.size()), int(results.size()));
    QCOMPARE(int(test.Results().size()), int(results.size()));
    for (int i = 0; i < results.size(); ++i) {
        const TSessionResult &r = seen[size_t(i)];
        QCOMPARE(r.Direction, i == 0 && requested != TSessionRequest::Upload ? TSessionDirection::Download
                                                                              : TSessionDirection::Upload);
        QCOMPARE(r.Error, r.Error.isEmpty() ? QString() : results[i]);
        QCOMPARE(r.Valid, results[i] == QLatin1String("valid"));
        QCOMPARE(r.Error, r.Valid ? QString() : results[i]);
        if (r.Direction == TSessionDirection::Upload)
            QCOMPARE(r.StartTime >= 0, uploadStarted);
        else
            QVERIFY(r.StartTime >= 0);
    }
    QCOMPARE(FUnexpected, QStringList());
}

QTEST_MAIN(TestSessionEnding)
#include "tst_SessionEnding.moc"
