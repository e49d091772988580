#include "briscaregisters.h"

#include <QTest>

class tst_BriscaRegisters : public QObject
{
    Q_OBJECT
private slots:
    void celsiusToKelvinTenths_data();
    void celsiusToKelvinTenths();
    void kelvinTenthsToCelsius_data();
    void kelvinTenthsToCelsius();
    void serialSettingsCode_data();
    void serialSettingsCode();
    void positionAndGrid();
    void typedThresholdsShowAsTyped();
    void untouchedThresholdsKeepTheirRaw();
};

void tst_BriscaRegisters::celsiusToKelvinTenths_data()
{
    QTest::addColumn<double>("celsius");
    QTest::addColumn<int>("raw");
    QTest::newRow("0.0 truncates 2731.5") << 0.0 << 2731;
    QTest::newRow("-40.0") << -40.0 << 2331;
    QTest::newRow("100.0") << 100.0 << 3731;
    QTest::newRow("25.0") << 25.0 << 2981;
    QTest::newRow("-20.0") << -20.0 << 2531;
    QTest::newRow("670.0") << 670.0 << 9431;
    // Only the low 16 bits go on the bus; negatives truncate toward zero first.
    QTest::newRow("6600.0 wraps") << 6600.0 << 68731 - 65536;
    QTest::newRow("-300.0 wraps") << -300.0 << 65536 - 268;
    QTest::newRow("not a number") << qQNaN() << 0;
    QTest::newRow("too large for 32 bits") << 1e300 << 0xFFFF;
}

void tst_BriscaRegisters::celsiusToKelvinTenths()
{
    QFETCH(double, celsius);
    QFETCH(int, raw);
    QCOMPARE(int(Brisca::celsiusToKelvinTenths(celsius)), raw);
}

void tst_BriscaRegisters::kelvinTenthsToCelsius_data()
{
    QTest::addColumn<int>("raw");
    QTest::addColumn<QString>("label");
    QTest::addColumn<float>("exact");
    QTest::newRow("2981") << 2981 << "25.0" << 24.950006f;
    QTest::newRow("9431") << 9431 << "669.9" << 669.95f;
    QTest::newRow("0") << 0 << "-273.1" << -273.14999f;
    // The single-precision division is what makes these two round down.
    QTest::newRow("3103") << 3103 << "37.1" << 37.149994f;
    QTest::newRow("2932") << 2932 << "20.1" << 20.050018f;
}

void tst_BriscaRegisters::kelvinTenthsToCelsius()
{
    QFETCH(int, raw);
    QFETCH(QString, label);
    QFETCH(float, exact);
    const float value = Brisca::kelvinTenthsToCelsius(quint16(raw));
    QCOMPARE(QString::number(double(value), 'f', 1), label);
    QCOMPARE(value, exact);
}

void tst_BriscaRegisters::serialSettingsCode_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("parityIndex");
    QTest::addColumn<int>("code");
    QTest::newRow("19200 even") << 19200 << 1 << 22;
    QTest::newRow("9600 none") << 9600 << 0 << 12;
    QTest::newRow("1200 none") << 1200 << 0 << 0;
    QTest::newRow("256000 odd") << 256000 << 2 << 49;
    QTest::newRow("115200 odd") << 115200 << 2 << 41;
    QTest::newRow("300 counts as 1200") << 300 << 0 << 0;
    QTest::newRow("14400 even") << 14400 << 1 << 18;
    QTest::newRow("56000 none") << 56000 << 0 << 32;
    QTest::newRow("unknown parity index is odd") << 2400 << 7 << 5;
}

void tst_BriscaRegisters::serialSettingsCode()
{
    QFETCH(int, baud);
    QFETCH(int, parityIndex);
    QFETCH(int, code);
    const quint16 value =
        Brisca::serialSettingsCode(quint32(baud), Brisca::parityCodeFromIndex(parityIndex));
    QCOMPARE(int(value), code);
    const quint32 known = Brisca::baudIndex(quint32(baud)) ? quint32(baud) : 1200u;
    QCOMPARE(Brisca::baudRateOfIndex(Brisca::baudIndexOfSettings(value)), known);
}

void tst_BriscaRegisters::positionAndGrid()
{
    QCOMPARE(int(Brisca::positionFirst(0x1F03)), 3);
    QCOMPARE(int(Brisca::positionSecond(0x1F03)), 31);
    const int sides[] = {1, 2, 4, 8, 16, 32, 64, 128, 0};
    const int counts[] = {0, 256, 64, 16, 4, 1, 0, 0, 0};
    for (quint8 code = 0; code <= 8; ++code) {
        QCOMPARE(int(Brisca::roiSideFromGridCode(code)), sides[code]);
        QCOMPARE(Brisca::roiCountFromGridCode(code), code == 0 ? 1024 : counts[code]);
    }
    QCOMPARE(int(Brisca::roiSideFromGridCode(255)), 0);
    QCOMPARE(Brisca::frameColumn(33), 1);
    QCOMPARE(Brisca::frameRow(33), 1);
}

// Every value a threshold editor can hold (-20.0 to 670.0 in tenths) is written as a raw
// value that the editor shows again as exactly what was typed; and every raw value in that
// range, left as the editor shows it, is written back unchanged.
void tst_BriscaRegisters::typedThresholdsShowAsTyped()
{
    QStringList wrong;
    for (int tenths = -200; tenths <= 6700; ++tenths) {
        const double typed = tenths / 10.0;
        const quint16 raw = Brisca::celsiusToKelvinTenths(typed);
        const QString shown = QString::number(Brisca::thresholdCelsius(raw), 'f', 1);
        if (shown != QString::number(typed, 'f', 1))
            wrong << QStringLiteral("%1 -> %2 shows %3").arg(typed).arg(raw).arg(shown);
    }
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.mid(0, 10).join(QStringLiteral(", "))));
}

void tst_BriscaRegisters::untouchedThresholdsKeepTheirRaw()
{
    for (int raw = 2531; raw <= 9431; ++raw)
        QCOMPARE(int(Brisca::celsiusToKelvinTenths(Brisca::thresholdCelsius(quint16(raw)))), raw);
    // Where the labels' single-precision path rounds the half down, the editor does not.
    QCOMPARE(QString::number(double(Brisca::kelvinTenthsToCelsius(5131)), 'f', 1),
             QStringLiteral("239.9"));
    QCOMPARE(Brisca::thresholdCelsius(5131), 240.0);
}

QTEST_GUILESS_MAIN(tst_BriscaRegisters)
#include "tst_briscaregisters.moc"
