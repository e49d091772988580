#include "briscascanner.h"
#include "modbusanswer.h"
#include "simprocess.h"

#include <QModbusReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

namespace {

ScanSettings oneLine(const QString &port, int first, int last)
{
    ScanSettings settings;
    settings.portName = port;
    settings.baudRates = {19200};
    settings.parities = {QSerialPort::EvenParity};
    settings.firstAddress = first;
    settings.lastAddress = last;
    // Enough for a loaded test machine; the computed timeout is checked on its own.
    settings.probeTimeoutMs = 100;
    return settings;
}

// The probe writes 1000 into register 10 (as the simulator logs it, without address and CRC).
bool onlyProbes(const QStringList &requests)
{
    return requests.filter(QRegularExpression("^..06000a03e8")).size() == requests.size();
}

} // namespace

class tst_BriscaScanner : public QObject
{
    Q_OBJECT
private slots:
    // The factory settings first, then the page's, then the rest as offered; none not offered.
    void order()
    {
        using S = QSerialPort;
        using Lines = QVector<LineSetting>;
        ScanSettings settings;
        settings.baudRates = {9600, 19200};
        settings.parities = {S::NoParity, S::EvenParity, S::OddParity};
        settings.current = {9600, S::OddParity};
        QCOMPARE(BriscaScanner::orderedLines(settings), (Lines{{19200, S::EvenParity},
                                                               {9600, S::OddParity},
                                                               {9600, S::NoParity},
                                                               {9600, S::EvenParity},
                                                               {19200, S::NoParity},
                                                               {19200, S::OddParity}}));
        settings.baudRates = {1200, 2400};
        settings.parities = {S::NoParity};
        QCOMPARE(BriscaScanner::orderedLines(settings),
                 (Lines{{1200, S::NoParity}, {2400, S::NoParity}}));
    }

    // A probe and its echo are 8 characters each with 3.5 characters of silence before each, and
    // a character is 11 bits on the line.
    void probeTimeoutCoversTheExchange()
    {
        for (int baud : {1200, 9600, 115200}) {
            const double exchangeMs = (16 + 7) * 11 * 1000.0 / baud;
            const int timeout = BriscaScanner::probeTimeoutMs(baud);
            QVERIFY2(timeout >= exchangeMs && timeout < exchangeMs + 50,
                     qPrintable(QString::number(timeout)));
        }
    }

    void probeVerdict_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("function");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<bool>("sensor");
        const int refused = QModbusDevice::ProtocolError;
        QTest::newRow("out of range") << refused << 0x86 << QByteArray("\x03") << true << true;
        QTest::newRow("other refusal") << refused << 0x86 << QByteArray("\x02") << true << false;
        QTest::newRow("accepted") << int(QModbusDevice::NoError) << 0x06 << QByteArray() << true
                                  << false;
        QTest::newRow("damaged answer") << refused << 0x06 << QByteArray() << false << false;
        QTest::newRow("silence") << int(QModbusDevice::TimeoutError) << 0x06 << QByteArray()
                                 << false << false;
    }

    void probeVerdict()
    {
        QFETCH(int, error);
        QFETCH(int, function);
        QFETCH(QByteArray, data);
        QModbusReply reply(QModbusReply::Common, 1);
        reply.setRawResult(QModbusResponse(QModbusPdu::FunctionCode(function), data));
        if (error != QModbusDevice::NoError)
            reply.setError(QModbusDevice::Error(error), QString());
        const Brisca::ProbeVerdict verdict = Brisca::probeVerdict(reply);
        QTEST(verdict.answered, "answered");
        QTEST(verdict.sensor, "sensor");
    }

    void findsSensorAndOtherDevice()
    {
        SimProcess sim;
        QVERIFY(sim.start({"--slave", "7", "--verbose"}));
        BriscaScanner scanner;
        QSignalSpy finished(&scanner, &BriscaScanner::finished);
        scanner.start(oneLine(sim.linkPath(), 6, 8));
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.first(), (QVariantList{false, QString()}));
        QCOMPARE(scanner.done(), 3);
        QCOMPARE(scanner.results().size(), 1);
        const ScanResult result = scanner.results().first();
        QCOMPARE(result.address, 7);
        QCOMPARE(result.kind, ScanResult::BriscaSensor);
        QCOMPARE(sim.received().size(), 3);
        QCOMPARE(result.line, (LineSetting{19200, QSerialPort::EvenParity}));
        QVERIFY(onlyProbes(sim.received()));

        // A slave that refuses the probe for another reason is listed, but not as a sensor.
        QVERIFY(sim.command("fault exception:2,fc=6"));
        scanner.start(oneLine(sim.linkPath(), 7, 7));
        QVERIFY(finished.wait(10000));
        QCOMPARE(scanner.results().size(), 1);
        QCOMPARE(scanner.results().first().kind, ScanResult::OtherDevice);
        QCOMPARE(scanner.results().first().answer, QStringLiteral("exception 0x02"));
    }

    void cancelStopsAtOnce()
    {
        SimProcess sim;
        QVERIFY(sim.start({"--slave", "247", "--verbose"}));
        BriscaScanner scanner;
        QSignalSpy finished(&scanner, &BriscaScanner::finished);
        connect(&scanner, &BriscaScanner::progress, &scanner, [&scanner](int done) {
            if (done == 3)
                scanner.cancel();
        });
        ScanSettings settings = oneLine(sim.linkPath(), 1, 247);
        settings.probeTimeoutMs = 20; // nobody answers here
        scanner.start(settings);
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
};

QTEST_GUILESS_MAIN(tst_BriscaScanner)
#include "tst_briscascanner.moc"
