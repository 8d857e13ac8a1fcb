#include "protocol/SessionAuth.h"
#include "protocol/SessionLineReader.h"
#include "protocol/SessionMessage.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>
#include <QTest>

class TestSessionMessage : public QObject
{
    Q_OBJECT

private slots:
    void parseLine_data();
    void parseLine();
    void everyMessageReadsBackAsWritten();
    void lineLimits();
    void lineReader_data();
    void lineReader();
    void lineReaderStopsAtTheLimit();
    void digests_data();
    void digests();
    void hmacAgreesWithQt();
    void proofAndSecretFile();
};

namespace {

std::string std8(const QByteArray &bytes)
{
    return bytes.toStdString();
}

const QByteArray kTcpZero = R"("tcp":{"rtt_us":0,"min_rtt_us":0,"retransmits":0,"cwnd_bytes":0,"delivery_rate_bps":0,)"
                            R"("busy_us":0,"rwnd_limited_us":0,"sndbuf_limited_us":0,"rcv_space":0,"rcv_rtt_us":0})";

} // namespace

void TestSessionMessage::parseLine_data()
{
    // A line that reads writes back as "written" (its canonical form); one that does not
    // gives an error text starting with "error".
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QString>("error");

    const QByteArray nonce = "0123456789abcdef0123456789abcdef";
    QTest::newRow("hello") << R"({"type":"hello","korvane":1,"nonce":")" + nonce + R"(","auth":false})"
                           << R"({"type":"hello","korvane":1,"nonce":")" + nonce + R"(","auth":false})" << "";
    QTest::newRow("blanks, other order, unknown member ignored")
        << R"( { "auth" : true , "nonce":")" + nonce + R"(", "later":[1,{"x":null}], "korvane":1,"type":"hello" } )"
        << R"({"type":"hello","korvane":1,"nonce":")" + nonce + R"(","auth":true})" << "";
    QTest::newRow("carriage return before the newline")
        << QByteArray(R"({"type":"end"})" "\r") << QByteArray(R"({"type":"end"})") << "";
    QTest::newRow("request seconds") << QByteArray(R"({"type":"request","korvane":1,"direction":"both","streams":64,"seconds":2.5})")
                                     << QByteArray(R"({"type":"request","korvane":1,"direction":"both","streams":64,"seconds":2.5})") << "";
    QTest::newRow("request bytes and auth")
        << QByteArray(R"({"type":"request","korvane":1,"direction":"upload","streams":1,"bytes":18446744073709551615,"auth":"ab"})")
        << QByteArray(R"({"type":"request","korvane":1,"direction":"upload","streams":1,"bytes":18446744073709551615,"auth":"ab"})")
        << "";
    QTest::newRow("request seconds as exponent") << QByteArray(R"({"type":"request","korvane":1,"direction":"download","streams":4,"seconds":1e1})")
                                                 << QByteArray(R"({"type":"request","korvane":1,"direction":"download","streams":4,"seconds":10})") << "";
    QTest::newRow("newer version") << QByteArray(R"({"type":"request","korvane":2,"direction":"sideways","streams":99})")
                                   << QByteArray() << "unsupported protocol version 2";
    QTest::newRow("no version") << QByteArray(R"({"type":"request","direction":"upload","streams":1,"seconds":1})")
                                << QByteArray() << "malformed request: korvane";
    QTest::newRow("streams 0") << QByteArray(R"({"type":"request","korvane":1,"direction":"upload","streams":0,"seconds":1})")
                               << QByteArray() << "streams must be 1 to 64";
    QTest::newRow("streams 65") << QByteArray(R"({"type":"request","korvane":1,"direction":"upload","streams":65,"seconds":1})")
                                << QByteArray() << "streams must be 1 to 64";
    QTest::newRow("streams fraction") << QByteArray(R"({"type":"request","korvane":1,"direction":"upload","streams":1.5,"seconds":1})")
                                      << QByteArray() << "streams must be 1 to 64";
    QTest::newRow("streams as text") << QByteArray(R"({"type":"request","korvane":1,"direction":"upload","streams":"4","seconds":1})")
                                     << QByteArray() << "streams must be 1 to 64";
    QTest::newRow("seconds and bytes") << QByteArray(R"({"type":"request","korvane":1,"direction":"upload","streams":1,"seconds":1,"bytes":5})")
                                       << QByteArray() << "malformed request: give either seconds or bytes";
    QTest::newRow("neither seconds nor bytes") << QByteArray(R"({"type":"request","korvane":1,"direction":"upload","streams":1})")
                                               << QByteArray() << "malformed request: give either seconds or bytes";
    QTest::newRow("seconds too short") << QByteArray(R"({"type":"request","korvane":1,"direction":"upload","streams":1,"seconds":0.09})")
                                       << QByteArray() << "seconds must be a number of at least 0.1";
    QTest::newRow("seconds negative") << QByteArray(R"({"type":"request","korvane":1,"direction":"upload","streams":1,"seconds":-5})")
                                      << QByteArray() << "seconds must be a number of at least 0.1";
    QTest::newRow("seconds overflow") << QByteArray(R"({"type":"request","korvane":1,"direction":"upload","streams":1,"seconds":1e999})")
                                      << QByteArray() << "seconds must be a number of at least 0.1";
    QTest::newRow("bytes 0") << QByteArray(R"({"type":"request","korvane":1,"direction":"upload","streams":1,"bytes":0})")
                             << QByteArray() << "bytes must be a whole number of at least 1";
    QTest::newRow("bytes beyond 64 bits") << QByteArray(R"({"type":"request","korvane":1,"direction":"upload","streams":1,"bytes":18446744073709551616})")
                                          << QByteArray() << "bytes must be a whole number of at least 1";
    QTest::newRow("bad direction") << QByteArray(R"({"type":"request","korvane":1,"direction":"Upload","streams":1,"seconds":1})")
                                   << QByteArray() << "unknown direction \"Upload\"";
    QTest::newRow("long direction cut in the error")
        << R"({"type":"request","korvane":1,"direction":")" + QByteArray(100, 'x') + R"(","streams":1,"seconds":1})"
        << QByteArray() << "unknown direction \"" + QString(40, 'x') + "...\"";
    QTest::newRow("accepted") << R"({"type":"accepted","session":")" + nonce + R"(","direction":"download","streams":16,"bytes":7})"
                              << R"({"type":"accepted","session":")" + nonce + R"(","direction":"download","streams":16,"bytes":7})" << "";
    QTest::newRow("accepted session upper case") << R"({"type":"accepted","session":")" + nonce.toUpper() + R"(","direction":"download","streams":1,"bytes":7})"
                                                 << QByteArray() << "malformed accepted: session";
    QTest::newRow("error with escapes") << QByteArray(R"({"type":"error","error":"a\"b\\c\u00e9\ud83d\ude00\n"})")
                                        << QByteArray("{\"type\":\"error\",\"error\":\"a\\\"b\\\\c\xC3\xA9\xF0\x9F\x98\x80\\n\"}") << "";
    QTest::newRow("join") << R"({"type":"join","session":")" + nonce + R"(","stream":127})"
                          << R"({"type":"join","session":")" + nonce + R"(","stream":127})" << "";
    QTest::newRow("join stream 128") << R"({"type":"join","session":")" + nonce + R"(","stream":128})"
                                     << QByteArray() << "malformed join: stream";
    QTest::newRow("join short session") << QByteArray(R"({"type":"join","session":"abc","stream":0})")
                                        << QByteArray() << "malformed join: session";
    QTest::newRow("join negative stream") << R"({"type":"join","session":")" + nonce + R"(","stream":-1})"
                                          << QByteArray() << "malformed join: stream";
    QTest::newRow("start") << QByteArray(R"({"type":"start","direction":"upload"})")
                           << QByteArray(R"({"type":"start","direction":"upload"})") << "";
    QTest::newRow("start both") << QByteArray(R"({"type":"start","direction":"both"})") << QByteArray()
                                << "unknown direction \"both\"";
    QTest::newRow("report, tcp figures left out read as 0")
        << QByteArray(R"({"type":"report","direction":"download","elapsed_us":250000,"streams":[{"stream":0,"bytes":9,"tcp":{}},{"stream":1,"bytes":3}]})")
        << R"({"type":"report","direction":"download","elapsed_us":250000,"streams":[{"stream":0,"bytes":9,)" + kTcpZero
               + R"(},{"stream":1,"bytes":3,)" + kTcpZero + "}]}"
        << "";
    QTest::newRow("report stream not an object") << QByteArray(R"({"type":"report","direction":"download","elapsed_us":1,"streams":[5]})")
                                                 << QByteArray() << "malformed report: streams";
    QTest::newRow("report tcp not an object") << QByteArray(R"({"type":"report","direction":"download","elapsed_us":1,"streams":[{"stream":0,"bytes":1,"tcp":[]}]})")
                                              << QByteArray() << "malformed report: tcp";
    QTest::newRow("report tcp figure negative") << QByteArray(R"({"type":"report","direction":"download","elapsed_us":1,"streams":[{"stream":0,"bytes":1,"tcp":{"rtt_us":-1}}]})")
                                                << QByteArray() << "malformed report: rtt_us";
    QTest::newRow("summary needs durations") << QByteArray(R"({"type":"summary","direction":"upload","bytes":1,"duration_us":1,"streams":[{"stream":0,"bytes":1}]})")
                                             << QByteArray() << "malformed summary: duration_us";
    QTest::newRow("summary empty streams") << QByteArray(R"({"type":"summary","direction":"upload","bytes":0,"duration_us":0,"streams":[]})")
                                           << QByteArray(R"({"type":"summary","direction":"upload","bytes":0,"duration_us":0,"streams":[]})") << "";
    QTest::newRow("echo") << QByteArray(R"({"type":"echo","id":42})") << QByteArray(R"({"type":"echo","id":42})") << "";
    QTest::newRow("echo id fraction") << QByteArray(R"({"type":"echo","id":4.2})") << QByteArray() << "malformed echo: id";
    QTest::newRow("end") << QByteArray(R"({"type":"end"})") << QByteArray(R"({"type":"end"})") << "";
    QTest::newRow("unknown type") << QByteArray(R"({"type":"reboot"})") << QByteArray() << "unknown message type \"reboot\"";
    QTest::newRow("type not text") << QByteArray(R"({"type":1})") << QByteArray() << "malformed message: no type";
    QTest::newRow("no type") << QByteArray(R"({"korvane":1})") << QByteArray() << "malformed message: no type";
    QTest::newRow("array") << QByteArray(R"([{"type":"end"}])") << QByteArray() << "malformed message: not a JSON object";
    QTest::newRow("empty line") << QByteArray() << QByteArray() << "malformed message: unexpected end of line";
    QTest::newRow("two objects") << QByteArray(R"({"type":"end"}{"type":"end"})") << QByteArray()
                                 << "malformed message: text after the value";
    QTest::newRow("duplicate member") << QByteArray(R"({"type":"end","type":"echo"})") << QByteArray()
                                      << "malformed message: duplicate member name";
    QTest::newRow("trailing comma") << QByteArray(R"({"type":"end",})") << QByteArray() << "malformed message: expected a member name";
    QTest::newRow("unterminated") << QByteArray(R"({"type":"end)") << QByteArray() << "malformed message: unterminated string";
    QTest::newRow("raw control character") << QByteArray("{\"type\":\"e\tnd\"}") << QByteArray()
                                           << "malformed message: control character in a string";
    QTest::newRow("not UTF-8") << QByteArray("{\"type\":\"\xC0\xAF\"}") << QByteArray() << "malformed message: not UTF-8";
    QTest::newRow("encoded surrogate") << QByteArray("{\"type\":\"\xED\xA0\x80\"}") << QByteArray() << "malformed message: not UTF-8";
    QTest::newRow("lone surrogate escape") << QByteArray(R"({"type":"\ud800x"})") << QByteArray() << "malformed message: lone surrogate";
    QTest::newRow("leading zero") << QByteArray(R"({"type":"echo","id":01})") << QByteArray() << "malformed message: bad number";
    QTest::newRow("nested too deeply") << QByteArray(R"({"type":"end","x":[[[[[[[[1]]]]]]]]})") << QByteArray()
                                       << "malformed message: nested too deeply";
    QTest::newRow("nested at the limit") << QByteArray(R"({"type":"end","x":[[[[[[[1]]]]]]]})") << QByteArray(R"({"type":"end"})") << "";
}

void TestSessionMessage::parseLine()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, written);
    QFETCH(QString, error);

    SessionMessage message;
    std::string why;
    const bool ok = SessionProtocol::parse(std8(line), message, why);
    if (!error.isEmpty()) {
        QVERIFY2(!ok, qPrintable(QString::fromStdString(SessionProtocol::write(message))));
        QCOMPARE(QString::fromStdString(why), error);
        return;
    }
    QVERIFY2(ok, why.c_str());
    QCOMPARE(QByteArray::fromStdString(SessionProtocol::write(message)), written + "\n");
}

void TestSessionMessage::everyMessageReadsBackAsWritten()
{
    SessionTcpFigures tcp{1, 2, 3, 4, 5, 6, 7, 8, 9, UINT64_MAX};
    const std::vector<SessionMessage> messages = {
        SessionHello{1, "00000000000000000000000000000000", true},
        SessionRequest{1, SessionDirection::Download, 1, 0.1, 0, ""},
        SessionRequest{1, SessionDirection::Upload, 64, 0, 1, "f00d"},
        SessionRequest{1, SessionDirection::Both, 3, 1.0 / 3, 0, ""},
        SessionAccepted{"ffffffffffffffffffffffffffffffff", SessionDirection::Both, 2, 60, 0},
        SessionAccepted{"ffffffffffffffffffffffffffffffff", SessionDirection::Upload, 2, 0, UINT64_MAX},
        SessionError{"server busy: too many sessions"},
        SessionError{std::string("tab\tquote\"nul\0end", 17)},
        SessionJoin{"0123456789abcdef0123456789abcdef", 0},
        SessionStart{SessionDirection::Upload},
        SessionReport{SessionDirection::Download, UINT64_MAX, {{0, 10, 0, tcp}, {63, 0, 0, {}}}},
        SessionSummary{SessionDirection::Upload, 99, 12345, {{0, 99, 12345, tcp}}},
        SessionEnd{},
        SessionEcho{UINT64_MAX},
    };
    for (const SessionMessage &m : messages) {
        const std::string line = SessionProtocol::write(m);
        QVERIFY(line.size() < SessionProtocol::MaxLineBytes);
        QCOMPARE(line.back(), '\n');
        QCOMPARE(line.find('\n'), line.size() - 1);
        SessionMessage back;
        std::string why;
        QVERIFY2(SessionProtocol::parse(std::string_view(line).substr(0, line.size() - 1), back, why), line.c_str());
        QVERIFY2(back == m, line.c_str());
    }

    // What a caller puts in a text that is not UTF-8 still makes a line that reads.
    SessionMessage back;
    std::string why;
    const std::string line = SessionProtocol::write(SessionError{"bad \xFF byte"});
    QVERIFY2(SessionProtocol::parse(std::string_view(line).substr(0, line.size() - 1), back, why), why.c_str());
    QCOMPARE(std::get<SessionError>(back).error, std::string("bad \xEF\xBF\xBD byte"));
}

void TestSessionMessage::lineLimits()
{
    // The largest report, 64 streams with every figure at its widest, fits a server line.
    SessionTcpFigures widest{UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX,
                             UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX};
    SessionSummary summary{SessionDirection::Download, UINT64_MAX, UINT64_MAX, {}};
    for (uint32_t i = 0; i < SessionProtocol::MaxStreams; ++i)
        summary.streams.push_back({i + 64, UINT64_MAX, UINT64_MAX, widest});
    const std::string line = SessionProtocol::write(summary);
    QVERIFY(line.size() < SessionProtocol::MaxServerLineBytes);
    SessionMessage back;
    std::string why;
    QVERIFY2(SessionProtocol::parse(std::string_view(line).substr(0, line.size() - 1), back, why), why.c_str());
    QVERIFY(std::get<SessionSummary>(back) == summary);

    const std::string tooLong = "{\"type\":\"error\",\"error\":\"" + std::string(SessionProtocol::MaxServerLineBytes, 'x') + "\"}";
    QVERIFY(!SessionProtocol::parse(tooLong, back, why));
    QCOMPARE(why, std::string("line longer than 65536 bytes"));
}

void TestSessionMessage::lineReader_data()
{
    // Chunks joined by '|' are appended one after another, with next() taken after each.
    QTest::addColumn<int>("limit");
    QTest::addColumn<QByteArray>("chunks");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<bool>("tooLong");
    QTest::addColumn<QByteArray>("rest");

    QTest::newRow("one line") << 10 << QByteArray("abc\n") << QByteArrayList{"abc"} << false << QByteArray();
    QTest::newRow("split over chunks") << 10 << QByteArray("a|b|c\nd") << QByteArrayList{"abc"} << false << QByteArray("d");
    QTest::newRow("two in one chunk, payload after") << 10 << QByteArray("a\nbb\n\x01\x02")
                                                     << QByteArrayList{"a", "bb"} << false << QByteArray("\x01\x02");
    QTest::newRow("empty line") << 10 << QByteArray("\n") << QByteArrayList{""} << false << QByteArray();
    QTest::newRow("exactly the limit") << 4 << QByteArray("abc\n") << QByteArrayList{"abc"} << false << QByteArray();
    QTest::newRow("one past the limit") << 4 << QByteArray("abcd\n") << QByteArrayList{} << true << QByteArray();
    QTest::newRow("past the limit before any newline") << 4 << QByteArray("ab|cd") << QByteArrayList{} << true << QByteArray();
    QTest::newRow("at the limit, no newline yet") << 4 << QByteArray("ab|c") << QByteArrayList{} << false << QByteArray("abc");
    QTest::newRow("good line, then a long one") << 4 << QByteArray("ab\nxxxxxxx|\n")
                                                << QByteArrayList{"ab"} << true << QByteArray();
}

void TestSessionMessage::lineReader()
{
    QFETCH(int, limit);
    QFETCH(QByteArray, chunks);
    QFETCH(QByteArrayList, lines);
    QFETCH(bool, tooLong);
    QFETCH(QByteArray, rest);

    SessionLineReader reader{size_t(limit)};
    QByteArrayList got;
    bool sawTooLong = false;
    for (const QByteArray &chunk : chunks.split('|')) {
        reader.append(std::string_view(chunk.constData(), size_t(chunk.size())));
        std::string line;
        SessionLineReader::Result r;
        while ((r = reader.next(line)) == SessionLineReader::Result::Line)
            got << QByteArray::fromStdString(line);
        sawTooLong = sawTooLong || r == SessionLineReader::Result::TooLong;
    }
    QCOMPARE(got, lines);
    QCOMPARE(sawTooLong, tooLong);
    QCOMPARE(QByteArray::fromStdString(reader.takeRest()), rest);
}

void TestSessionMessage::lineReaderStopsAtTheLimit()
{
    // A peer that sends no newline is refused after the limit and held to it, whatever follows.
    SessionLineReader reader(SessionProtocol::MaxLineBytes);
    const std::string chunk(1000, 'x');
    std::string line;
    for (int i = 0; i < 4; ++i) {
        reader.append(chunk);
        QCOMPARE(reader.next(line), SessionLineReader::Result::NeedMore);
    }
    reader.append(chunk + "\n{\"type\":\"end\"}\n");
    QCOMPARE(reader.next(line), SessionLineReader::Result::TooLong);
    reader.append(chunk);
    QCOMPARE(reader.next(line), SessionLineReader::Result::TooLong);
    QCOMPARE(reader.buffered(), size_t(0));
}

void TestSessionMessage::digests_data()
{
    QTest::addColumn<QByteArray>("key"); // empty: a plain digest of message
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("hex");

    QTest::newRow("sha-256 empty") << QByteArray() << QByteArray()
                                   << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    QTest::newRow("sha-256 abc") << QByteArray() << QByteArray("abc")
                                 << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    QTest::newRow("sha-256 two blocks") << QByteArray() << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                        << QByteArray("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    QTest::newRow("hmac short key") << QByteArray(20, '\x0b') << QByteArray("Hi There")
                                    << QByteArray("b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    QTest::newRow("hmac text key") << QByteArray("Jefe") << QByteArray("what do ya want for nothing?")
                                   << QByteArray("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    QTest::newRow("hmac key longer than a block")
        << QByteArray(131, '\xaa') << QByteArray("Test Using Larger Than Block-Size Key - Hash Key First")
        << QByteArray("60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

void TestSessionMessage::digests()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, hex);
    const SessionAuth::Digest d = key.isEmpty() ? SessionAuth::sha256(std8(message))
                                                : SessionAuth::hmacSha256(std8(key), std8(message));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(d.data()), int(d.size())).toHex(), hex);
}

void TestSessionMessage::hmacAgreesWithQt()
{
    // Every length around the padding and block edges, with keys around the block size too:
    // a client may compute its proof with Qt.
    for (int length = 0; length <= 200; ++length) {
        QByteArray bytes(length, '\0');
        for (int i = 0; i < length; ++i)
            bytes[i] = char(i * 7 + length);
        const SessionAuth::Digest plain = SessionAuth::sha256(std8(bytes));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(plain.data()), 32),
                 QCryptographicHash::hash(bytes, QCryptographicHash::Sha256));
        const QByteArray key = bytes.left(length % 97);
        const SessionAuth::Digest mac = SessionAuth::hmacSha256(std8(key), std8(bytes));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(mac.data()), 32),
                 QMessageAuthenticationCode::hash(bytes, key, QCryptographicHash::Sha256));
    }
}

void TestSessionMessage::proofAndSecretFile()
{
    const std::string nonce = "0123456789abcdef0123456789abcdef";
    const std::string proof = SessionAuth::proof("s3cret", nonce);
    QCOMPARE(QByteArray::fromStdString(proof),
             QMessageAuthenticationCode::hash(QByteArray::fromStdString(nonce), "s3cret", QCryptographicHash::Sha256).toHex());
    QVERIFY(SessionAuth::sameProof(proof, SessionAuth::proof("s3cret", nonce)));
    QVERIFY(!SessionAuth::sameProof(proof, SessionAuth::proof("s3cret ", nonce)));
    QVERIFY(!SessionAuth::sameProof(proof, proof.substr(0, 63)));
    QVERIFY(!SessionAuth::sameProof(proof, std::string(64, '0')));

    QCOMPARE(SessionAuth::secretFromFile("s3cret\n"), std::string("s3cret"));
    QCOMPARE(SessionAuth::secretFromFile("s3cret \r\n\n\t"), std::string("s3cret"));
    QCOMPARE(SessionAuth::secretFromFile("  two words\n"), std::string("  two words"));
    QCOMPARE(SessionAuth::secretFromFile("\n \n"), std::string());
}

QTEST_APPLESS_MAIN(TestSessionMessage)
#include "tst_SessionMessage.moc"
