#include "support/VersionInfo.h"

#include "KorvaneBuildConfig.h"

#include <QtTest>

class tst_VersionInfo : public QObject
{
    Q_OBJECT
private slots:
    void shippedBlock();
    void fixedPart_data();
    void fixedPart();
    void noBlockLeavesEverythingEmpty();
    void otherLanguageTableIsNotRead();
    void missingKeyLeavesOnlyThatEmpty();
};

void tst_VersionInfo::shippedBlock()
{
    const TVersionInfo info;
    QCOMPARE(info.Version(), QStringLiteral("2.0.0.69"));
    QCOMPARE(info.Version(), QStringLiteral(KORVANE_VERSION_STRING));
    QCOMPARE(info.MajorVersion(), QStringLiteral("2"));
    QCOMPARE(info.MinorVersion(), QStringLiteral("0"));
    QCOMPARE(info.Release(), QStringLiteral("0"));
    QCOMPARE(info.Build(), QStringLiteral("69"));
    QCOMPARE(info.Signature(), QStringLiteral("00000000FEEF04BD"));
    QCOMPARE(info.ProductName(), QStringLiteral("Korvane"));
    QCOMPARE(info.InternalName(), QStringLiteral("Korvane"));
    QCOMPARE(info.FileDescription(), QStringLiteral("Korvane Client"));
    QCOMPARE(info.ProdVersion(), QStringLiteral("2.0"));
    QCOMPARE(info.OriginalFileName(), QStringLiteral("KorvClnt.exe"));
    QVERIFY(!info.CompanyName().isEmpty());
    QVERIFY(!info.Copyright().isEmpty());
    QVERIFY(info.LegalTradeMarks().isEmpty());
    QVERIFY(info.ProdDescription().isEmpty());
    QVERIFY(!info.Debug());
    QVERIFY(!info.PreRelease());
    QVERIFY(!info.PrivateBuild());
    QVERIFY(!info.Special());
}

void tst_VersionInfo::fixedPart_data()
{
    QTest::addColumn<quint32>("ms");
    QTest::addColumn<quint32>("ls");
    QTest::addColumn<quint32>("mask");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QStringList>("numbers");
    QTest::addColumn<QList<bool>>("expectedFlags");  // Debug, PreRelease, PrivateBuild, Special

    QTest::newRow("all halves at their maximum")
        << 0xFFFFFFFFu << 0xFFFFFFFFu << 0x3Fu << 0u
        << QStringList{"65535", "65535", "65535", "65535"} << QList<bool>{false, false, false, false};
    QTest::newRow("every reported flag")
        << 0x00010002u << 0x00030004u << 0x3Fu << 0x2Bu
        << QStringList{"1", "2", "3", "4"} << QList<bool>{true, true, true, true};
    QTest::newRow("mask hides flags")
        << 0x00020000u << 0x00000045u << 0x03u << 0x2Bu
        << QStringList{"2", "0", "0", "69"} << QList<bool>{true, true, false, false};
    QTest::newRow("patched and inferred are not reported")
        << 0u << 0u << 0x3Fu << 0x14u
        << QStringList{"0", "0", "0", "0"} << QList<bool>{false, false, false, false};
}

void tst_VersionInfo::fixedPart()
{
    QFETCH(quint32, ms);
    QFETCH(quint32, ls);
    QFETCH(quint32, mask);
    QFETCH(quint32, flags);
    QFETCH(QStringList, numbers);
    QFETCH(QList<bool>, expectedFlags);

    TVersionBlock block;
    block.present = true;
    block.dwSignature = 0xFEEF04BD;
    block.dwFileVersionMS = ms;
    block.dwFileVersionLS = ls;
    block.dwFileFlagsMask = mask;
    block.dwFileFlags = flags;
    const TVersionInfo info(block);

    QCOMPARE((QStringList{info.MajorVersion(), info.MinorVersion(), info.Release(), info.Build()}), numbers);
    QCOMPARE((QList<bool>{info.Debug(), info.PreRelease(), info.PrivateBuild(), info.Special()}), expectedFlags);
}

void tst_VersionInfo::noBlockLeavesEverythingEmpty()
{
    TVersionBlock block = TVersionBlock::Shipped();
    block.present = false;
    block.dwFileFlags = 0x3F;
    const TVersionInfo info(block);
    for (const QString& text : {info.Signature(), info.MajorVersion(), info.Build(), info.Version(),
                                info.ProductName(), info.Copyright(), info.InternalName()})
        QVERIFY(text.isEmpty());
    QVERIFY(!info.Debug() && !info.Special());
}

void tst_VersionInfo::otherLanguageTableIsNotRead()
{
    TVersionBlock block = TVersionBlock::Shipped();
    const auto english = block.stringTables.take(TVersionBlock::EnglishKey);
    block.stringTables.insert(QStringLiteral("040704B0"), english);  // German, Unicode
    const TVersionInfo info(block);
    QVERIFY(info.ProductName().isEmpty());
    QVERIFY(info.Version().isEmpty());
    QVERIFY(info.Comments().isEmpty());
    QCOMPARE(info.MajorVersion(), QStringLiteral("2"));
    QCOMPARE(info.Build(), QStringLiteral("69"));
    QCOMPARE(info.Signature(), QStringLiteral("00000000FEEF04BD"));
}

void tst_VersionInfo::missingKeyLeavesOnlyThatEmpty()
{
    TVersionBlock block = TVersionBlock::Shipped();
    block.stringTables[TVersionBlock::EnglishKey].remove(QStringLiteral("FileVersion"));
    const TVersionInfo info(block);
    QVERIFY(info.Version().isEmpty());
    QCOMPARE(info.ProductName(), QStringLiteral("Korvane"));
    QCOMPARE(info.MajorVersion(), QStringLiteral("2"));  // the numbers do not come from the string
}

QTEST_GUILESS_MAIN(tst_VersionInfo)
#include "tst_VersionInfo.moc"
