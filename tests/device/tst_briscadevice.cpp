#include "briscadevice.h"
#include "simprocess.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <numeric>

class tst_BriscaDevice : public QObject
{
    Q_OBJECT

    std::unique_ptr<SimProcess> m_sim;
    std::unique_ptr<BriscaDevice> m_device;
    QStringList m_events;

    QStringList statuses() const
    {
        return m_events.filter(QRegularExpression("^status:")).replaceInStrings("status:", "");
    }

    bool open(const QStringList &simArgs = {}, int timeoutMs = 3000)
    {
        BriscaDevice &d = *m_device;
        if (!m_sim->start(simArgs))
            return false;
        d.setConnectionParameter(QModbusDevice::SerialPortNameParameter, m_sim->linkPath());
        d.setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::EvenParity);
        d.setConnectionParameter(QModbusDevice::SerialBaudRateParameter, 19200);
        d.setTimeout(timeoutMs);
        d.setNumberOfRetries(0);
        d.slaveAddress = 1;
        return d.connectDevice() && d.state() == QModbusDevice::ConnectedState;
    }

    // The simulator's arguments for a known register map, so that every value can be checked,
    // and its faults.
    QStringList known(const QStringList &faults = {})
    {
        // The measurements 0x100 + their address, four region temperatures, pixel i 2000 + i.
        QJsonArray input;
        for (int a = 0; a < 1305; ++a)
            input.append(a < 25    ? 0x100 + a
                         : a < 29  ? 3001 + a - 25
                         : a < 281 ? 0
                                   : 2000 + a - 281);
        QJsonObject map;
        map["coils"] = QJsonArray{1, 0, 1, 0, 1, 0, 1, 0, 0, 0, 1, 1, 0};
        map["discrete_inputs"] = QJsonArray{0, 0, 0, 1, 0};
        map["holding"] = QJsonArray{1, 22, 3731, 2731, 3231, 2931, 3331, 2831, 500, 95, 8, 4, 2, 3};
        map["input"] = input;
        QStringList args{"--load", m_sim->writeJson("start.json", map), "--fps", "0"};
        for (const QString &fault : faults)
            args << "--fault" << fault;
        return args;
    }

private slots:
    void init()
    {
        m_device.reset(); // before its sensor
        m_sim = std::make_unique<SimProcess>();
        m_device = std::make_unique<BriscaDevice>();
        m_events.clear();
        BriscaDevice *d = m_device.get();
        connect(d, &BriscaDevice::signal_status, d,
                [this](const QString &s) { m_events << "status:" + s; });
        const std::pair<void (BriscaDevice::*)(), const char *> named[] = {
            {&BriscaDevice::coilsDataReady, "coils"},
            {&BriscaDevice::holdingRegsDataReady, "holding"},
            {&BriscaDevice::app3DataReady, "app3"}};
        for (const auto &[signal, name] : named)
            connect(d, signal, d, [this, name = name] { m_events << name; });
        connect(d, &BriscaDevice::pixelDataReady, d, [this] { m_events << "pixels"; });
    }

    // Every setting is read into its field, written to the sensor and read back from it, so a
    // write that lands on another register, or a field filled from another one, shows up.
    void settingsRoundTrip()
    {
        using D = BriscaDevice;
        struct Setting
        {
            const char *name;
            void (*write)(D &);
            int (*field)(const D &);
            int before, after;
        };
        // clang-format off
#define SETTING(call, field, before, after)                                                        \
    Setting{#field, [](D &d) { d.call; }, [](const D &d) { return int(d.field); }, before, after}
        // clang-format on
        const Setting settings[] = {
            SETTING(writeNoNcEnabled(false), noNcEnabled, 1, 0),
            SETTING(writeAlarmTimerBased(true), alarmTimerBased, 0, 1),
            SETTING(writeOutputBehavior(false), outputNormallyClosed, 1, 0),
            SETTING(writeTransistorType(true), transistorNpn, 0, 1),
            SETTING(writeCounterType(false), counterUnidirectional, 1, 0),
            SETTING(writeApp1Enabled(true), app1Enabled, 0, 1),
            SETTING(writeApp2Enabled(false), app2Enabled, 1, 0),
            SETTING(writeApp3Enabled(true), app3Enabled, 0, 1),
            SETTING(writeApp1LimitFov(true), app1LimitFov, 0, 1),
            SETTING(writeFrameAverage(false), frameAverage, 1, 0),
            SETTING(clearNoNcOutput(), noNcOutputActive, 1, 0),
            SETTING(writeAlarmDuration(1234), alarmDuration, 500, 1234),
            SETTING(writeEmissivity(42), emissivity, 95, 42),
            SETTING(writeReticleSize(32), reticleSize, 8, 32),
            SETTING(writeMovingAverageWindow(16), movingAverageWindow, 4, 16),
            SETTING(writeGridRoiSize(4), gridRoiSize, 2, 4),
            SETTING(writeTemperatureChoice(1), temperatureChoice, 3, 1),
            SETTING(writeApp1Thresholds(3631, 2631), app1MaxThreshold, 3731, 3631),
            SETTING(writeApp1Thresholds(3631, 2631), app1MinThreshold, 2731, 2631),
            SETTING(writeApp2Thresholds(9431, 2531), app2MaxThreshold, 3231, 9431),
            SETTING(writeApp2Thresholds(9431, 2531), app2MinThreshold, 2931, 2531),
            SETTING(writeApp3Thresholds(2981, 2541), app3MaxThreshold, 3331, 2981),
            SETTING(writeApp3Thresholds(2981, 2541), app3MinThreshold, 2831, 2541),
        };
#undef SETTING
        QVERIFY(open(known()));
        D &d = *m_device;
        const auto readBack = [&] {
            m_events.clear();
            d.readSettings(1);
            QTRY_VERIFY(m_events.contains("holding"));
        };
        readBack();
        QCOMPARE(statuses(), QStringList{"Reading settings, please wait"});
        for (const Setting &s : settings)
            QVERIFY2(s.field(d) == s.before, s.name);

        m_events.clear();
        for (const Setting &s : settings)
            s.write(d);
        d.resetApp3Counter();
        QTRY_COMPARE(statuses().size(), int(std::size(settings)) + 1);
        QCOMPARE(statuses().count("Value successfully updated"), statuses().size());
        readBack();
        for (const Setting &s : settings)
            QVERIFY2(s.field(d) == s.after, s.name);
        // The counter reset leaves no field behind: the sensor's counter drops to 0.
        d.updateMeasurements();
        QTRY_COMPARE(m_events.count("app3"), 3);
        QCOMPARE(d.app3Counter, quint16(0));
    }

    // The window writes a setting back as soon as it has shown the coils, before the holding
    // registers with the sensor's own address arrive: that write must reach the validated
    // sensor, not every sensor on the bus.
    void writeBackBeforeHoldingAnswer()
    {
        QJsonObject map;
        map["holding"] = QJsonArray{7, 22};
        QVERIFY(open({"--load", m_sim->writeJson("seven.json", map), "--fps", "0"}));
        m_device->slaveAddress = 0;
        bool written = false; // once: the echo of the write is coil data again
        connect(m_device.get(), &BriscaDevice::coilsDataReady, m_device.get(), [this, &written] {
            if (!std::exchange(written, true))
                m_device->writeNoNcEnabled(true);
        });
        m_device->readSettings(7);
        QTRY_COMPARE(m_sim->received().size(), 3);
        QVERIFY(m_sim->received().last().startsWith("0705"));
        QTRY_COMPARE(m_sim->stateArray("coils").value(0), 1);
    }

    // Each value from its register; then a frame with a failed chunk, and region reads. (The
    // fuzzed replies cover what failed region chunks and a failed last chunk leave behind.)
    void image()
    {
        QVERIFY(open(known(), 300));
        QSignalSpy pixels(m_device.get(), &BriscaDevice::pixelDataReady);
        m_device->requestImage();
        QTRY_COMPARE(pixels.size(), 1);
        QCOMPARE(m_events.first(), QString("status:Grabbing image..."));
        const BriscaDevice &d = *m_device;
        QCOMPARE(
            (QVector<int>{d.app1MinTemp, d.app1MaxPosition, d.app3Block.first(), d.app3Block.last(),
                          d.app3Block.size(), d.app3Counter, d.app2AvgTemp}),
            (QVector<int>{0x100, 0x103, 0x105, 0x114, 16, 0x117, 0x118}));
        QVERIFY(d.app2Alarm && !d.app1Alarm && !d.app3Alarm && !d.discreteInput0);
        QCOMPARE(d.roiTemperatures, (QVector<quint16>{3001, 3002, 3003, 3004}));
        QVector<quint16> image(1024);
        std::iota(image.begin(), image.end(), 2000);
        QCOMPARE(pixels.first().first().value<QVector<quint16>>(), image);

        // A failed middle chunk: the frame still comes, that part from the previous frame.
        QVERIFY(m_sim->command("set input 281 111"));
        QVERIFY(m_sim->command("set input 600 222"));
        QVERIFY(m_sim->command("set input 1304 333"));
        QVERIFY(m_sim->command("fault exception:4,fc=4,addr=531,count=1"));
        m_events.clear();
        m_device->requestImage();
        QTRY_COMPARE(pixels.size(), 2);
        image = pixels.last().first().value<QVector<quint16>>();
        QCOMPARE((QVector<int>{image.at(0), image.at(600 - 281), image.at(1023)}),
                 (QVector<int>{111, 2000 + 600 - 281, 333}));
        QVERIFY(statuses().last().contains(
            QRegularExpression("^Read response error: .* \\(Mobus exception: 0x4\\)$")));

        // Two reads with no image in between: only the newest read is kept.
        m_events.clear();
        m_device->readApp3Data();
        QVERIFY(m_sim->command("set input 25 2999"));
        QVERIFY(m_sim->command("set input 200 3100"));
        m_device->readApp3Data();
        QTRY_COMPARE(m_events.count("app3"), 6);
        QCOMPARE(m_device->roiTemperatures, (QVector<quint16>{2999, 3002, 3003, 3004, 3100}));
    }

    // Without a port every request fails at once with a word and none is left hanging.
    void failures()
    {
        BriscaDevice &d = *m_device;
        d.readSettings(1);
        d.requestImage();
        d.writeSlaveAddress(3);
        d.writeSerialSettings(19200, 1);
        QCOMPARE(statuses().filter(QRegularExpression("^(Read|Write) error: .")).size(),
                 2 + 16 + 2);
        QVERIFY(d.isIdle());
    }

    void linkLossClosesThePort()
    {
        QVERIFY(open({"--pattern", "ramp", "--fault", "hangup,fc=4,addr=531"}, 5000));
        QSignalSpy errors(m_device.get(), &QModbusDevice::errorOccurred);
        m_device->requestImage();
        QTRY_COMPARE(m_device->state(), QModbusDevice::UnconnectedState);
        // The request on the line ends as aborted; those still waiting end without a word each.
        QTRY_COMPARE(statuses().filter(" (code: 0x7)").size(), 1);
        QVERIFY(m_device->isIdle());
        QCOMPARE(m_device->imagesPending(), 0);
        QVERIFY(!m_events.contains("pixels"));
        QVERIFY2(errors.size() <= 10, qPrintable(QString::number(errors.size())));
    }

    // Tries, answers, lost and damaged answers, refusals and a stray answer, counted by the
    // device, against what the sensor logged of the same run.
    void statisticsAgreeWithTheSensorsLog()
    {
        // The coil read's first answer damaged, the holding read refused, the measurements silent
        // on both tries; the block's first answer comes after its try gave up, while the second
        // try waits, and the second answer meets the first region chunk.
        QVERIFY(open(
            known({"badcrc,fc=1,count=1", "exception:2,fc=3,count=1", "silent,fc=4,addr=0,count=2",
                   "late:450,fc=4,addr=5,count=1", "late:300,fc=4,addr=5,after=1,count=1"}),
            300));
        m_device->setNumberOfRetries(1);
        QSignalSpy changed(m_device.get(), &BriscaDevice::statisticsChanged);
        m_device->readSettings(1);
        m_device->readApp1Measurements();
        m_device->readApp3Data();
        QTRY_VERIFY_WITH_TIMEOUT(m_device->isIdle() && m_events.count("app3") == 2, 10000);

        // What the sensor logged: eleven tries; nothing sent to the two silent ones, one damaged
        // answer, refusals.
        const int requests = m_sim->received().size(), answers = m_sim->sent().size();
        const int refusals = m_sim->sent().filter(QRegularExpression("^0183")).size();
        QCOMPARE(requests, 11);
        const LinkStatistics &s = m_device->statistics();
        QCOMPARE(s.requests, quint64(requests));
        QCOMPARE(s.exceptions, (QMap<quint8, quint64>{{2, quint64(refusals)}}));
        // Each silent or damaged try, and the block's first try, whose answer came too late.
        QCOMPARE(s.timeouts, quint64(requests - answers + 2));
        QCOMPARE((QVector<quint64>{s.strayAnswers, s.answers, s.otherErrors, s.finished()}),
                 (QVector<quint64>{1, 5, 0, s.requests}));
        QVERIFY(s.lastAnswer.isValid() && s.lastFailure.isValid() && s.meanRoundTripMs >= 0);
        QVERIFY(!changed.isEmpty());
        m_device->resetStatistics();
        QCOMPARE(m_device->statistics().requests, quint64(0));
    }

    // Late answers that meet a later request of the same function: the shape check refuses
    // those it can tell, and the silence after a failure keeps the others off the line. No
    // foreign value reaches a cache or a frame.
    void strayAnswersNeverReachACache_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<int>("retries");
        QTest::newRow("answer after its only try, same shape next")
            << QStringList{"late:450,fc=4,addr=281,count=1"} << 0;
        QTest::newRow("answer after the first try, second answer meets another read")
            << QStringList{"late:450,fc=4,addr=0,count=1", "late:300,fc=4,addr=0,after=1,count=1"}
            << 1;
    }

    void strayAnswersNeverReachACache()
    {
        QFETCH(QStringList, faults);
        QFETCH(int, retries);
        QVERIFY(open(known(faults), 300));
        m_device->setNumberOfRetries(retries);
        QSignalSpy pixels(m_device.get(), &BriscaDevice::pixelDataReady);
        // Each time the caches change, not only at the end: a later good read would hide it.
        int foreign = 0;
        connect(m_device.get(), &BriscaDevice::inputRegsDataReady, this, [this, &foreign] {
            const BriscaDevice &d = *m_device;
            const int held[] = {d.app1MinTemp,     d.app1MinPosition, d.app1MaxTemp,
                                d.app1MaxPosition, d.app1AvgTemp,     d.app2AvgTemp};
            const int own[] = {0x100, 0x101, 0x102, 0x103, 0x104, 0x118};
            for (int i = 0; i < 6; ++i)
                foreign += held[i] != 0 && held[i] != own[i];
        });
        m_device->requestImage();
        m_device->requestImage();
        QTRY_VERIFY_WITH_TIMEOUT(m_device->isIdle() && m_device->imagesPending() == 0, 10000);
        QCOMPARE(foreign, 0);
        // Every frame holds each pixel's own value (or none), and the second one came whole.
        for (const QList<QVariant> &args : qAsConst(pixels)) {
            const auto image = args.first().value<QVector<quint16>>();
            for (int i = 0; i < 1024; ++i)
                QVERIFY2(image.at(i) == 0 || image.at(i) == 2000 + i,
                         qPrintable(QString::number(i)));
        }
        QVERIFY(!pixels.isEmpty());
        QCOMPARE(pixels.last().first().value<QVector<quint16>>().at(1023), quint16(2000 + 1023));
    }
};

QTEST_GUILESS_MAIN(tst_BriscaDevice)
#include "tst_briscadevice.moc"
