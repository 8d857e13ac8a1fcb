#include "settings/StoragePath.h"

#include <QtTest>

class TestStoragePath : public QObject
{
    Q_OBJECT
private slots:
    void normalizes_data();
    void normalizes();
    void concatenates_data();
    void concatenates();
    void splitsSectionAndKey_data();
    void splitsSectionAndKey();
};

void TestStoragePath::normalizes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("normalized");
    QTest::newRow("plain") << R"(fMain\cbServerName_Text)" << R"(fMain\cbServerName_Text)";
    QTest::newRow("doubled, leading, trailing") << R"(\\fMain\\\Key\)" << R"(fMain\Key)";
    QTest::newRow("single dot dropped") << R"(fMain\.\Key)" << R"(fMain\Key)";
    QTest::newRow("two dots go up one") << R"(fMain\Sub\..\Key)" << R"(fMain\Key)";
    QTest::newRow("three dots go up two") << R"(a\b\c\...\Key)" << R"(a\Key)";
    QTest::newRow("dots beyond the root") << R"(a\....\Key)" << "Key";
    QTest::newRow("dotted names stay") << R"(a\.b\c.\Key)" << R"(a\.b\c.\Key)";
    QTest::newRow("nothing left") << R"(\.\)" << "";
}

void TestStoragePath::normalizes()
{
    QFETCH(QString, path);
    QFETCH(QString, normalized);
    QCOMPARE(TStoragePath::Normalize(path), normalized);
}

void TestStoragePath::concatenates_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("joined");
    QTest::newRow("root and name") << QStringList{R"(fMain\)", "ShowCmd"} << R"(fMain\ShowCmd)";
    QTest::newRow("empty name") << QStringList{R"(fMain\)", ""} << "fMain";
    QTest::newRow("absolute element discards before")
        << QStringList{R"(fMain\)", "x", R"(\Other\Key)"} << R"(Other\Key)";
    QTest::newRow("relative up") << QStringList{R"(fMain\Sub)", R"(..\Key)"} << R"(fMain\Key)";
}

void TestStoragePath::concatenates()
{
    QFETCH(QStringList, paths);
    QFETCH(QString, joined);
    QCOMPARE(TStoragePath::Concat(paths), joined);
}

void TestStoragePath::splitsSectionAndKey_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::newRow("one level") << R"(fMain\cbServerName_Text)" << "fMain" << "cbServerName_Text";
    QTest::newRow("list item") << R"(fMain\mmDIsplay_Lines\Item0)" << R"(fMain\mmDIsplay_Lines)" << "Item0";
    QTest::newRow("key only") << "Key" << "" << "Key";
}

void TestStoragePath::splitsSectionAndKey()
{
    QFETCH(QString, path);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QString s, k;
    TStoragePath::Split(path, s, k);
    QCOMPARE(s, section);
    QCOMPARE(k, key);
}

QTEST_GUILESS_MAIN(TestStoragePath)
#include "tst_StoragePath.moc"
