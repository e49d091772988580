#include "recordingformat.h"
#include "simprocess.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

namespace {

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Run brisca(const QStringList &args,
           const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    qRegisterMetaType<QProcess::ExitStatus>();
    // Waiting in the event loop lets a running simulator's log come in meanwhile.
    QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    process.start(QStringLiteral(BRISCA_CLI_PATH), args);
    Run run;
    if (!finished.wait(20000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// "app1/min/position/first" inside a parsed document.
QJsonValue at(QJsonValue value, const QString &path)
{
    for (const QString &key : path.split(QLatin1Char('/'))) {
        bool index = false;
        const int i = key.toInt(&index);
        value = index ? value.toArray().at(i) : value.toObject().value(key);
    }
    return value;
}

// A sensor whose every register the commands decode holds a value of its own, so that a
// field read from the wrong register or decoded the wrong way shows.
QJsonObject registerMap(int breachTemperature)
{
    QJsonArray input;
    const int measurements[] = {2950, 0x0905, 3401, 0x1011, 3005, 0, 0, 0, 0, 0, 0, 0, 0,
                                0,    0,      0,    0,      0,    0, 0, 0, 0, 0, 0, 0};
    for (int v : measurements)
        input.append(v);
    input.replace(21, breachTemperature);
    input.replace(22, 3);    // area A3
    input.replace(23, 2);    // counter
    input.replace(24, 3123); // application 2 average
    for (int address = 25; address <= 280; ++address)
        input.append(address <= 27 ? 3000 + address : 0);
    return {
        {"coils", QJsonArray{0, 1, 1, 0, 1, 1, 0, 1, 0, 1, 1, 0, 0}},
        {"discrete_inputs", QJsonArray{0, 0, 0, 1, 0}},
        // slave, serial settings (9600 baud odd), thresholds, duration, emissivity, centred
        // area, window, grid code, temperature choice
        {"holding", QJsonArray{7, 13, 3531, 2731, 3231, 2881, 3131, 2781, 1234, 87, 12, 5, 3, 2}},
        {"input", input},
    };
}

const QStringList SensorLine{"--slave", "7", "--baud", "9600", "--parity", "odd"};

// The rows of a recording, each read by the recording format's own reader.
bool readRecording(const QByteArray &text, QVector<Recording::Sample> *samples)
{
    QList<QByteArray> lines = text.split('\n');
    if (lines.takeFirst() + '\n' != Recording::header() || !lines.takeLast().isEmpty())
        return false;
    for (const QByteArray &line : lines) {
        Recording::Sample sample;
        QString error;
        if (!Recording::parseRow(line, &sample, &error))
            return false;
        *samples << sample;
    }
    return true;
}

} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT

private slots:
    void usage_data();
    void usage();
    void sensorCommands_data();
    void sensorCommands();
    void failures_data();
    void failures();
    void scan_data();
    void scan();
    void interrupted_data();
    void interrupted();
    void grab_data();
    void grab();
    void picture();
    void watch_data();
    void watch();
};

void tst_Cli::usage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");

    // A port that cannot exist: usage errors must be found before anything is opened.
    const QString missing = QStringLiteral("/nonexistent/ttyBRISCA");
    QTest::newRow("no command") << QStringList{} << 2;
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << 2;
    QTest::newRow("unknown option") << QStringList{"info", "--port", missing, "--colour"} << 2;
    QTest::newRow("stray argument") << QStringList{"read", "--port", missing, "now"} << 2;
    QTest::newRow("port missing") << QStringList{"read"} << 2;
    QTest::newRow("slave 0") << QStringList{"info", "--port", missing, "--slave", "0"} << 2;
    QTest::newRow("slave 248") << QStringList{"read", "--port", missing, "--slave", "248"} << 2;
    QTest::newRow("baud the sensor does not speak")
        << QStringList{"info", "--port", missing, "--baud", "300"} << 2;
    QTest::newRow("parity") << QStringList{"info", "--port", missing, "--parity", "mark"} << 2;
    QTest::newRow("timeout") << QStringList{"info", "--port", missing, "--timeout", "soon"} << 2;
    QTest::newRow("scan range upside down")
        << QStringList{"scan", "--port", missing, "--from", "9", "--to", "3"} << 2;
    QTest::newRow("scan baud list")
        << QStringList{"scan", "--port", missing, "--baud", "19200,300"} << 2;
    QTest::newRow("info, no such port") << QStringList{"info", "--port", missing} << 3;
    QTest::newRow("read, no such port") << QStringList{"read", "--port", missing} << 3;
    QTest::newRow("scan, no such port")
        << QStringList{"scan", "--port", missing, "--baud", "19200", "--parity", "even"} << 3;
    QTest::newRow("grab, no output") << QStringList{"grab", "--port", missing} << 2;
    QTest::newRow("grab, a picture of two frames")
        << QStringList{"grab", "--port", missing, "--output", "a.PNG", "--frames", "2"} << 2;
    QTest::newRow("grab, an overlay for a recording")
        << QStringList{"grab", "--port", missing, "--output", "a.csv", "--app", "2"} << 2;
    QTest::newRow("help") << QStringList{"--help"} << 0;
    QTest::newRow("help of a command") << QStringList{"scan", "--help"} << 0;
    QTest::newRow("ports") << QStringList{"ports", "--json"} << 0;
}

void tst_Cli::usage()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    const Run run = brisca(args);
    QCOMPARE(run.status, status);
    if (status == 0) {
        QVERIFY(run.err.isEmpty());
        if (args.contains("--json"))
            QVERIFY(QJsonDocument::fromJson(run.out).isArray());
        else
            QVERIFY(run.out.startsWith("Usage: brisca"));
    } else {
        // Errors only on standard error, one line naming the program.
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.startsWith("brisca: ") && run.err.count('\n') == 1, run.err);
    }
}

void tst_Cli::sensorCommands_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("breach");
    QTest::addColumn<QVariantMap>("expected");
    QTest::addColumn<QString>("text");

    QTest::newRow("info") << "info" << 3500
                          << QVariantMap{{"slave_address", 7},
                                         {"serial_settings/baud", 9600},
                                         {"serial_settings/parity", "odd"},
                                         {"app1/upper_threshold/raw", 3531},
                                         {"app1/upper_threshold/celsius", 79.95},
                                         {"app1/lower_threshold/celsius", -0.05},
                                         {"app2/upper_threshold/raw", 3231},
                                         {"app2/lower_threshold/raw", 2881},
                                         {"app3/upper_threshold/raw", 3131},
                                         {"app3/lower_threshold/raw", 2781},
                                         {"app1/enabled", true},
                                         {"app2/enabled", false},
                                         {"app1/limit_field_of_view", true},
                                         {"frame_average", true},
                                         {"no_nc_output/enabled", false},
                                         {"no_nc_output/timer_based", true},
                                         {"no_nc_output/normally_closed", true},
                                         {"no_nc_output/npn", false},
                                         {"no_nc_output/duration_ms", 1234},
                                         {"emissivity_percent", 87},
                                         {"app2/centered_area_px", 12},
                                         {"app2/moving_average_frames", 5},
                                         {"app3/grid_roi/side_px", 8},
                                         {"app3/grid_roi/regions", 16},
                                         {"app3/counter_unidirectional", true},
                                         {"temperature_choice/name", "cold"}}
                          << "8 x 8 px (16 regions)";
    QTest::newRow("read") << "read" << 3500
                          << QVariantMap{{"app1/min/raw", 2950},
                                         {"app1/min/celsius", 21.85},
                                         {"app1/min/position/first", 5},
                                         {"app1/min/position/second", 9},
                                         {"app1/max/raw", 3401},
                                         {"app1/max/position/first", 17},
                                         {"app1/average/raw", 3005},
                                         {"app2/average/raw", 3123},
                                         {"app1/alarm", false},
                                         {"app2/alarm", true},
                                         {"app3/alarm", false},
                                         {"app3/counter", 2},
                                         {"app3/highest_breach/celsius", 76.85},
                                         {"app3/highest_breach/area", 3},
                                         {"app3/region_temperatures/0/raw", 3025},
                                         {"app3/region_temperatures/2/raw", 3027}}
                          << "at (5,9)";
    QTest::newRow("read without breach")
        << "read" << 0 << QVariantMap{{"app3/highest_breach/raw", 0}} << "N/A";
}

void tst_Cli::sensorCommands()
{
    QFETCH(QString, command);
    QFETCH(int, breach);
    QFETCH(QVariantMap, expected);
    QFETCH(QString, text);
    SimProcess sim;
    // Without new frames the loaded measurements stay as they are.
    QVERIFY(sim.start(SensorLine + QStringList{"--fps", "0", "--load",
                                               sim.writeJson("map.json", registerMap(breach))}));
    const QStringList args = QStringList{command, "--port", sim.linkPath()} + SensorLine;

    const Run json = brisca(args + QStringList{"--json"});
    QCOMPARE(json.status, 0);
    QVERIFY2(json.err.isEmpty(), json.err);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json.out, &error);
    QVERIFY2(document.isObject(), qPrintable(error.errorString()));
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(at(document.object(), it.key()).toVariant(), it.value());
    if (command == QLatin1String("read"))
        QCOMPARE(at(document.object(), "app3/region_temperatures").toArray().size(), 3);

    const Run plain = brisca(args);
    QCOMPARE(plain.status, 0);
    QVERIFY(plain.err.isEmpty());
    QVERIFY2(plain.out.contains(text.toUtf8()), plain.out);
}

void tst_Cli::failures_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("slave");
    QTest::addColumn<int>("status");
    // Requests the sensor may see; -1 when the count does not matter.
    QTest::addColumn<int>("requests");

    const QStringList none;
    for (const char *command : {"info", "read"}) {
        const QString c = QLatin1String(command);
        // Nothing but the probe may go to a slave that did not prove to be a sensor.
        QTest::addRow("%s, wrong slave", command) << c << none << 2 << 1 << 1;
        QTest::addRow("%s, silent sensor", command)
            << c << QStringList{"--fault", "silent"} << 1 << 1 << 1;
        QTest::addRow("%s, another kind of device", command)
            << c << QStringList{"--fault", "exception:2,fc=6"} << 1 << 1 << 1;
    }
    // Input registers refused: the settings still read, the measurements do not.
    QTest::newRow("info, measurements refused")
        << "info" << QStringList{"--fault", "exception:4,fc=4"} << 1 << 0 << 3;
    QTest::newRow("read, measurements refused")
        << "read" << QStringList{"--fault", "exception:4,fc=4"} << 1 << 1 << -1;
    // The alarm states go silent after the first measurements came in.
    QTest::newRow("read, alarm states silent")
        << "read" << QStringList{"--fault", "silent,fc=2"} << 1 << 1 << -1;
}

void tst_Cli::failures()
{
    QFETCH(QString, command);
    QFETCH(QStringList, simArgs);
    QFETCH(int, slave);
    QFETCH(int, status);
    QFETCH(int, requests);
    SimProcess sim;
    QVERIFY(sim.start(simArgs));
    const Run run = brisca({command, "--port", sim.linkPath(), "--slave", QString::number(slave),
                            "--timeout", "150", "--json"});
    QCOMPARE(run.status, status);
    if (status == 0) {
        QVERIFY(QJsonDocument::fromJson(run.out).isObject());
    } else {
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.startsWith("brisca: "), run.err);
    }
    // Stopping the simulator collects the rest of its log.
    sim.stop();
    if (requests >= 0)
        QCOMPARE(sim.received().size(), requests);
}

void tst_Cli::scan_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("to");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("kind"); // of the one result; empty: none found

    QTest::newRow("sensor") << QStringList{"--slave", "3"} << 4 << 0 << "brisca";
    QTest::newRow("outside the range") << QStringList{"--slave", "3"} << 2 << 1 << "";
    QTest::newRow("another kind of device")
        << QStringList{"--slave", "3", "--fault", "exception:2,fc=6"} << 4 << 1 << "other";
}

void tst_Cli::scan()
{
    QFETCH(QStringList, simArgs);
    QFETCH(int, to);
    QFETCH(int, status);
    QFETCH(QString, kind);
    SimProcess sim;
    QVERIFY(sim.start(simArgs));
    const Run run =
        brisca({"scan", "--port", sim.linkPath(), "--baud", "19200", "--parity", "even", "--from",
                "1", "--to", QString::number(to), "--timeout", "100", "--json"});
    QCOMPARE(run.status, status);
    const QJsonDocument document = QJsonDocument::fromJson(run.out);
    QVERIFY(document.isArray());
    QCOMPARE(document.array().size(), kind.isEmpty() ? 0 : 1);
    if (!kind.isEmpty()) {
        const QJsonObject result = document.array().first().toObject();
        QCOMPARE(result.value("kind").toString(), kind);
        QCOMPARE(result.value("slave").toInt(), 3);
        QCOMPARE(result.value("baud").toInt(), 19200);
        QCOMPARE(result.value("parity").toString(), QStringLiteral("even"));
    }
    sim.stop();
    QCOMPARE(sim.received().size(), to);
}

void tst_Cli::interrupted_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("requests"); // seen by the sensor before Ctrl+C
    QTest::addColumn<int>("found");    // scan results printed; -1: nothing printed

    // Past the sensor and waiting on silent addresses.
    QTest::newRow("scan") << QStringList{"--slave", "2"}
                          << QStringList{"scan", "--baud",    "19200", "--parity",
                                         "even", "--timeout", "200",   "--json"}
                          << 4 << 1;
    // Waiting for a probe that will not be answered for a long time.
    QTest::newRow("read") << QStringList{"--fault", "silent"}
                          << QStringList{"read", "--timeout", "30000", "--json"} << 1 << -1;
}

void tst_Cli::interrupted()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, args);
    QFETCH(int, requests);
    QFETCH(int, found);
    SimProcess sim;
    QVERIFY(sim.start(simArgs));
    QProcess process;
    process.start(QStringLiteral(BRISCA_CLI_PATH), args + QStringList{"--port", sim.linkPath()});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(sim.received().size() >= requests, 20000);
    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 130);
    const QByteArray out = process.readAllStandardOutput();
    if (found < 0) {
        QVERIFY(out.isEmpty());
    } else {
        const QJsonArray results = QJsonDocument::fromJson(out).array();
        QCOMPARE(results.size(), found);
        QCOMPARE(results.first().toObject().value("slave").toInt(), 2);
    }
}

void tst_Cli::grab_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("frames"); // in the file; -1: the file is left as it was

    QTest::newRow("three frames") << QStringList{} << QStringList{"--frames", "3"} << 0 << 3;
    // 3 requests select the sensor, 16 read an image; the second image goes unanswered.
    QTest::newRow("sensor falls silent")
        << QStringList{"--fault", "silent,after=27"} << QStringList{"--frames", "3"} << 1 << 1;
    QTest::newRow("no sensor at the slave")
        << QStringList{} << QStringList{"--slave", "2"} << 1 << -1;
    QTest::newRow("file cannot be written")
        << QStringList{} << QStringList{"--output", "/nonexistent/grab.csv"} << 4 << -1;
}

void tst_Cli::grab()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(int, frames);
    SimProcess sim;
    QVERIFY(sim.start(simArgs + QStringList{"--pattern", "ramp"}));
    QFile file(sim.tempPath("grab.csv"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("there before\n") > 0);
    file.close();

    const Run run = brisca(QStringList{"grab", "--port", sim.linkPath(), "--timeout", "100",
                                       "--output", file.fileName()} +
                           args);
    QCOMPARE(run.status, status);
    QVERIFY(run.out.isEmpty());
    QCOMPARE(run.err.count('\n'), status == 0 ? 0 : 1);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVector<Recording::Sample> samples;
    if (frames < 0)
        QCOMPARE(file.readAll(), "there before\n");
    else
        QVERIFY(readRecording(file.readAll(), &samples));
    QCOMPARE(samples.size(), std::max(frames, 0));
    for (const Recording::Sample &sample : samples) {
        // The ramp: element i reads 2731 + i.
        QVERIFY(sample.isFrame() && sample.frame.size() == 1024);
        for (int i = 0; i < 1024; ++i)
            QCOMPARE(sample.frame.at(i), quint16(2731 + i));
        // Read from the sensor before the first image: Application 1's upper threshold.
        QCOMPARE(sample.measurements.app1MaxThreshold, quint16(3531));
    }
    if (status == 1 && frames >= 0)
        QVERIFY2(run.err.contains(QString("; %1 of 3 frames written").arg(frames).toUtf8()),
                 run.err);
}

void tst_Cli::picture()
{
    SimProcess sim;
    QVERIFY(sim.start({"--pattern", "ramp"}));
    // No display of any kind: the tool must bring its own.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    QVector<QImage> pictures;
    for (const char *app : {"1", "3"}) {
        const QString path = sim.tempPath(QString("app%1.png").arg(app));
        const Run run =
            brisca({"grab", "--port", sim.linkPath(), "--output", path, "--app", app}, env);
        QCOMPARE(run.status, 0);
        QVERIFY2(run.err.isEmpty(), run.err);
        pictures << QImage(path);
        QVERIFY(!pictures.last().isNull());
    }
    // The ramp grows by 32 per column and 1 per row: dark on the left from top to bottom,
    // bright on the right. A frame not shown, or shown turned, looks otherwise.
    const QImage &plain = pictures.first();
    auto lightness = [&](double x, double y) {
        return plain.pixelColor(int(x * plain.width()), int(y * plain.height())).lightness();
    };
    QVERIFY(lightness(0.15, 0.15) < 60);
    QVERIFY(lightness(0.15, 0.8) < 60);
    QVERIFY(lightness(0.75, 0.5) > 170);
    // Application 3's region grid with its labels is drawn over the same frame.
    QVERIFY(pictures.at(1) != plain);
}

void tst_Cli::watch_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("how"); // after the first line: "interrupt", "close" or ""
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("lines");

    // A long interval: the first line must come through while the watch waits for the next.
    const QStringList waiting{"--interval", "600000"};
    const QStringList none;
    QTest::newRow("three lines") << none << QStringList{"--count", "3"} << "" << 0 << 3;
    QTest::newRow("three frames") << none << QStringList{"--count", "3", "--frames"} << "" << 0
                                  << 3;
    QTest::newRow("Ctrl+C") << none << waiting << "interrupt" << 0 << 1;
    QTest::newRow("Ctrl+C before the count")
        << none << waiting + QStringList{"--count", "5", "--frames"} << "interrupt" << 130 << 1;
    QTest::newRow("reader goes away") << none << none << "close" << 0 << 1;
}

void tst_Cli::watch()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, args);
    QFETCH(QString, how);
    QFETCH(int, status);
    QFETCH(int, lines);
    SimProcess sim;
    QVERIFY(sim.start(
        simArgs + SensorLine +
        QStringList{"--fps", "0", "--load", sim.writeJson("map.json", registerMap(3500))}));
    QStringList command = QStringList{"watch", "--port", sim.linkPath()} + SensorLine + args;
    QProcess process;
    if (how == "close") {
        // A reader that leaves after two lines, as a pipe into `head` does.
        command.prepend(BRISCA_CLI_PATH);
        process.start("bash",
                      QStringList{"-c", "\"$0\" \"$@\" | head -n 2; exit ${PIPESTATUS[0]}"} +
                          command);
    } else {
        process.start(BRISCA_CLI_PATH, command);
    }
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).count('\n') >= 2, 20000);
    if (how == "interrupt")
        ::kill(pid_t(process.processId()), SIGINT);
    // Waiting in the event loop lets the simulator's log come in meanwhile.
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 20000);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), status);
    out += process.readAllStandardOutput();
    QCOMPARE(out.count('\n'), 1 + lines);

    const bool frames = args.contains("--frames");
    QVector<Recording::Sample> samples;
    if (frames)
        QVERIFY(readRecording(out, &samples));
    const QList<QByteArray> rows = out.split('\n');
    const QList<QByteArray> header = rows.first().split(',');
    // Without frames, the columns of a recording up to the pixels.
    QCOMPARE(header.size(), Recording::columnCount() - (frames ? 0 : 1024 + 256));
    for (int row = 1; row <= lines; ++row) {
        const QList<QByteArray> cells = rows.at(row).split(',');
        QCOMPARE(cells.size(), header.size());
        QCOMPARE(cells.at(header.indexOf("kind")), frames ? "frame" : "measurements");
        QCOMPARE(cells.at(header.indexOf("app1_min_temp")), "21.85");
        QCOMPARE(cells.at(header.indexOf("app2_avg_temp")), "39.15");
    }
}

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
