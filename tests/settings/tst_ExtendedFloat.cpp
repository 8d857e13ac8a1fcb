#include "settings/ExtendedFloat.h"

#include <QtTest>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

class TestExtendedFloat : public QObject
{
    Q_OBJECT
private slots:
    void encodesKnownValues_data();
    void encodesKnownValues();
    void roundTripsExactly_data();
    void roundTripsExactly();
    void matchesHardwareExtendedLayout_data() { roundTripsExactly_data(); }
    void matchesHardwareExtendedLayout();
    void decodesSpecialsAndWrongSizes();
};

void TestExtendedFloat::encodesKnownValues_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("hex");
    QTest::newRow("zero") << 0.0 << "00000000000000000000";
    QTest::newRow("one") << 1.0 << "0000000000000080FF3F";
    QTest::newRow("default port") << 80.0 << "00000000000000A00540";
    QTest::newRow("1234.5") << 1234.5 << "000000000000509A0940";
    QTest::newRow("minus one") << -1.0 << "0000000000000080FFBF";
    QTest::newRow("negative zero") << -0.0 << "00000000000000000080";
    QTest::newRow("smallest denormal") << std::numeric_limits<double>::denorm_min() << "0000000000000080CD3B";
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity() << "0000000000000080FF7F";
}

void TestExtendedFloat::encodesKnownValues()
{
    QFETCH(double, value);
    QFETCH(QString, hex);
    QCOMPARE(TExtendedFloat::ToHex(value), hex);
    const double back = TExtendedFloat::Decode(QByteArray::fromHex(hex.toLatin1()));
    QCOMPARE(std::bit_cast<quint64>(back), std::bit_cast<quint64>(value));
}

void TestExtendedFloat::roundTripsExactly_data()
{
    QTest::addColumn<double>("value");
    QTest::newRow("pi") << M_PI;
    QTest::newRow("negative tenth") << -0.1;
    QTest::newRow("largest") << DBL_MAX;
    QTest::newRow("most negative") << -DBL_MAX;
    QTest::newRow("smallest normal") << DBL_MIN;
    QTest::newRow("largest denormal") << std::nextafter(DBL_MIN, 0.0);
    QTest::newRow("negative denormal") << -std::numeric_limits<double>::denorm_min() * 12345;
    QTest::newRow("1e300") << 1e300;
    QTest::newRow("-1e-300") << -1e-300;
    QTest::newRow("odd mantissa") << std::bit_cast<double>(quint64(0x3FF0000000000001));
    QTest::newRow("negative infinity") << -std::numeric_limits<double>::infinity();
}

void TestExtendedFloat::roundTripsExactly()
{
    QFETCH(double, value);
    const QByteArray bytes = TExtendedFloat::Encode(value);
    QCOMPARE(bytes.size(), TExtendedFloat::ByteCount);
    QCOMPARE(std::bit_cast<quint64>(TExtendedFloat::Decode(bytes)), std::bit_cast<quint64>(value));
}

void TestExtendedFloat::matchesHardwareExtendedLayout()
{
#if defined(__x86_64__) || defined(__i386__)
    static_assert(LDBL_MANT_DIG == 64);
    QFETCH(double, value);
    const long double wide = value;
    QByteArray hardware(TExtendedFloat::ByteCount, '\0');
    std::memcpy(hardware.data(), &wide, TExtendedFloat::ByteCount);
    QCOMPARE(TExtendedFloat::Encode(value).toHex(), hardware.toHex());
#else
    QSKIP("no x87 extended type on this host");
#endif
}

void TestExtendedFloat::decodesSpecialsAndWrongSizes()
{
    QVERIFY(std::isnan(TExtendedFloat::Decode(TExtendedFloat::Encode(std::nan("")))));
    QCOMPARE(TExtendedFloat::Decode(QByteArray(9, '\x01')), 0.0);
    QCOMPARE(TExtendedFloat::Decode(QByteArray()), 0.0);
    // 1/3 in full extended precision narrows to the nearest double.
    QCOMPARE(TExtendedFloat::Decode(QByteArray::fromHex("ABAAAAAAAAAAAAAAFD3F")), 1.0 / 3.0);
    // Beyond the double range: infinity, and zero below it.
    QCOMPARE(TExtendedFloat::Decode(QByteArray::fromHex("0000000000000080FF7E")), HUGE_VAL);
    QCOMPARE(TExtendedFloat::Decode(QByteArray::fromHex("00000000000000800100")), 0.0);
}

QTEST_GUILESS_MAIN(TestExtendedFloat)
#include "tst_ExtendedFloat.moc"
