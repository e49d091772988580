#include "briscaregisters.h"

#include <QTest>

class tst_BriscaRegisters : public QObject
{
    Q_OBJECT
private slots:
    void celsiusToKelvinTenths_data()
    {
        QTest::addColumn<double>("celsius");
        QTest::addColumn<int>("raw");
        // The editors' range is checked below; here what lies beyond it. Only the low 16 bits go
        // on the bus; negatives truncate toward zero first.
        QTest::newRow("-300.0 wraps") << -300.0 << 65536 - 268;
        QTest::newRow("not a number") << qQNaN() << 0;
        QTest::newRow("too large for 32 bits") << 1e300 << 0xFFFF;
    }

    void celsiusToKelvinTenths()
    {
        QFETCH(double, celsius);
        QTEST(int(Brisca::celsiusToKelvinTenths(celsius)), "raw");
    }

    void kelvinTenthsToCelsius_data()
    {
        QTest::addColumn<int>("raw");
        QTest::addColumn<QString>("label");
        QTest::newRow("2981") << 2981 << "25.0";
        QTest::newRow("0") << 0 << "-273.1";
        // The single-precision division is what makes these two round down.
        QTest::newRow("3103") << 3103 << "37.1";
        QTest::newRow("2932") << 2932 << "20.1";
    }

    void kelvinTenthsToCelsius()
    {
        QFETCH(int, raw);
        QTEST(QString::number(double(Brisca::kelvinTenthsToCelsius(quint16(raw))), 'f', 1),
              "label");
    }

    void serialSettingsCode_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("parityIndex");
        QTest::addColumn<int>("code");
        QTest::newRow("19200 even") << 19200 << 1 << 22;
        QTest::newRow("1200 none") << 1200 << 0 << 0;
        QTest::newRow("115200 odd") << 115200 << 2 << 41;
        QTest::newRow("300 counts as 1200") << 300 << 0 << 0;
        QTest::newRow("unknown parity index is odd") << 2400 << 7 << 5;
    }

    void serialSettingsCode()
    {
        QFETCH(int, baud);
        QFETCH(int, parityIndex);
        const quint16 value =
            Brisca::serialSettingsCode(quint32(baud), Brisca::parityCodeFromIndex(parityIndex));
        QTEST(int(value), "code");
        const quint32 known = Brisca::baudIndex(quint32(baud)) ? quint32(baud) : 1200u;
        QCOMPARE(Brisca::baudRateOfIndex(Brisca::baudIndexOfSettings(value)), known);
    }

    void position()
    {
        QCOMPARE(int(Brisca::positionFirst(0x1F03)), 3);
        QCOMPARE(int(Brisca::positionSecond(0x1F03)), 31);
    }

    // Every value a threshold editor can hold (-20.0 to 670.0) is written as a raw value that
    // it shows again as typed; every raw value in that range, left as shown, is written back
    // unchanged, also where the labels' single-precision path rounds the half down.
    void thresholdsShowAsTypedAndKeepTheirRaw()
    {
        for (int tenths = -200; tenths <= 6700; ++tenths) {
            const quint16 raw = Brisca::celsiusToKelvinTenths(tenths / 10.0);
            QCOMPARE(QString::number(Brisca::thresholdCelsius(raw), 'f', 1),
                     QString::number(tenths / 10.0, 'f', 1));
        }
        for (int raw = 2531; raw <= 9431; ++raw)
            QCOMPARE(int(Brisca::celsiusToKelvinTenths(Brisca::thresholdCelsius(quint16(raw)))),
                     raw);
        QCOMPARE(Brisca::thresholdCelsius(5131), 240.0);
    }
};

QTEST_GUILESS_MAIN(tst_BriscaRegisters)
#include "tst_briscaregisters.moc"
