#include "engine/ControlCharacters.h"

#include <QTest>

class TestControlCharacters : public QObject
{
    Q_OBJECT

private slots:
    void escape_data();
    void escape();
};

void TestControlCharacters::escape_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain text stays") << QStringLiteral("Redirected to /a?b=c d. Restarting timer.")
                                      << QStringLiteral("Redirected to /a?b=c d. Restarting timer.");
    QTest::newRow("non-ascii stays") << QStringLiteral("caf\u00e9 \u20ac \U0001F600") << QStringLiteral("caf\u00e9 \u20ac \U0001F600");
    QTest::newRow("escape sequence") << QStringLiteral("\x1B[2J\x1B]0;title\x07") << QStringLiteral("\\x1B[2J\\x1B]0;title\\x07");
    QTest::newRow("line breaks and tab") << QStringLiteral("a\r\nb\tc") << QStringLiteral("a\\r\\nb\\tc");
    QTest::newRow("nul and delete") << QStringLiteral("a%1b\x7F").arg(QChar(0)) << QStringLiteral("a\\x00b\\x7F");
    QTest::newRow("c1 control") << QStringLiteral("a\u009B2Jb") << QStringLiteral("a\\x9B2Jb");
    QTest::newRow("backslash stays") << QStringLiteral("C:\\x1B") << QStringLiteral("C:\\x1B");
}

void TestControlCharacters::escape()
{
    QFETCH(QString, text);
    QTEST(EscapeControlCharacters(text), "shown");
}

QTEST_GUILESS_MAIN(TestControlCharacters)
#include "tst_controlcharacters.moc"
