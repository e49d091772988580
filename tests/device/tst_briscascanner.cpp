#include "briscascanner.h"
#include "simprocess.h"

#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(QVector<LineSetting>)

namespace {

// The probe as the simulator logs it, without address and CRC: write 1000 into register 10.
const QString ProbeBody = QStringLiteral("06000a03e8");

ScanSettings oneLine(const QString &port, int first, int last)
{
    ScanSettings settings;
    settings.portName = port;
    settings.baudRates = {19200};
    settings.parities = {QSerialPort::EvenParity};
    settings.firstAddress = first;
    settings.lastAddress = last;
    return settings;
}

bool onlyProbes(const QStringList &requests)
{
    for (const QString &request : requests) {
        if (request.mid(2, ProbeBody.size()) != ProbeBody)
            return false;
    }
    return true;
}

} // namespace

class tst_BriscaScanner : public QObject
{
    Q_OBJECT

private slots:
    void order_data();
    void order();
    void findsSensorAndOtherDevice();
    void cancelStopsAtOnce();
};

void tst_BriscaScanner::order_data()
{
    using P = QSerialPort::Parity;
    QTest::addColumn<QVector<qint32>>("bauds");
    QTest::addColumn<QVector<QSerialPort::Parity>>("parities");
    QTest::addColumn<LineSetting>("current");
    QTest::addColumn<QVector<LineSetting>>("expected");

    const QVector<P> all{QSerialPort::NoParity, QSerialPort::EvenParity, QSerialPort::OddParity};
    QTest::newRow("factory, then the page's choice, then the rest")
        << QVector<qint32>{9600, 19200} << all << LineSetting{9600, QSerialPort::OddParity}
        << QVector<LineSetting>{{19200, QSerialPort::EvenParity}, {9600, QSerialPort::OddParity},
                                {9600, QSerialPort::NoParity},    {9600, QSerialPort::EvenParity},
                                {19200, QSerialPort::NoParity},   {19200, QSerialPort::OddParity}};
    QTest::newRow("neither factory nor the page's choice offered")
        << QVector<qint32>{1200, 2400} << QVector<P>{QSerialPort::NoParity}
        << LineSetting{19200, QSerialPort::EvenParity}
        << QVector<LineSetting>{{1200, QSerialPort::NoParity}, {2400, QSerialPort::NoParity}};
}

void tst_BriscaScanner::order()
{
    QFETCH(QVector<qint32>, bauds);
    QFETCH(QVector<QSerialPort::Parity>, parities);
    QFETCH(LineSetting, current);
    QFETCH(QVector<LineSetting>, expected);
    ScanSettings settings;
    settings.baudRates = bauds;
    settings.parities = parities;
    settings.current = current;
    QCOMPARE(BriscaScanner::orderedLines(settings), expected);
}

void tst_BriscaScanner::findsSensorAndOtherDevice()
{
    SimProcess sim;
    // The sensor at 7 is genuine; at 9 the same registers refuse the probe for another
    // reason, as a device of another kind would.
    QVERIFY(sim.start({"--slave", "7", "--verbose"}));
    BriscaScanner scanner;
    QSignalSpy finished(&scanner, &BriscaScanner::finished);
    scanner.start(oneLine(sim.linkPath(), 1, 10));
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.first().at(0).toBool(), false);
    QCOMPARE(finished.first().at(1).toString(), QString());
    QCOMPARE(scanner.done(), 10);
    QCOMPARE(scanner.results().size(), 1);
    const ScanResult result = scanner.results().first();
    QCOMPARE(result.address, 7);
    QCOMPARE(result.kind, ScanResult::BriscaSensor);
    QCOMPARE(result.line, (LineSetting{19200, QSerialPort::EvenParity}));
    QCOMPARE(sim.received().size(), 10);
    QVERIFY(onlyProbes(sim.received()));

    // A slave that refuses the probe with another code is listed, but not as a sensor.
    QVERIFY(sim.command("fault exception:2,fc=6"));
    scanner.start(oneLine(sim.linkPath(), 7, 7));
    QVERIFY(finished.wait(10000));
    QCOMPARE(scanner.results().size(), 1);
    QCOMPARE(scanner.results().first().kind, ScanResult::OtherDevice);
    QCOMPARE(scanner.results().first().answer, QStringLiteral("exception 0x02"));
}

void tst_BriscaScanner::cancelStopsAtOnce()
{
    SimProcess sim;
    QVERIFY(sim.start({"--slave", "247", "--verbose"}));
    BriscaScanner scanner;
    QSignalSpy finished(&scanner, &BriscaScanner::finished);
    connect(&scanner, &BriscaScanner::progress, &scanner, [&scanner](int done) {
        if (done == 3)
            scanner.cancel();
    });
    scanner.start(oneLine(sim.linkPath(), 1, 247));
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.first().at(0).toBool(), true);
    QVERIFY(!scanner.isRunning());
    QCOMPARE(scanner.done(), 3);
    // Nothing follows the cancel on the line: the master was closed with the probe of the
    // fourth address at most under way.
    QTest::qWait(200);
    QVERIFY(sim.received().size() <= 4);
    QVERIFY(onlyProbes(sim.received()));
    QVERIFY(scanner.results().isEmpty());
}

QTEST_GUILESS_MAIN(tst_BriscaScanner)
#include "tst_briscascanner.moc"
