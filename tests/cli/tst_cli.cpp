#include "recordingreader.h"
#include "simprocess.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

struct BriscaRun
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// The brisca program run as a script runs it. Waiting in the event loop lets a running
// simulator's log come in meanwhile.
BriscaRun runBrisca(const QStringList &args)
{
    QProcess process;
    qRegisterMetaType<QProcess::ExitStatus>();
    QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    process.start(QStringLiteral(BRISCA_CLI_PATH), args);
    if (!finished.wait(60000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

// The value at "app1/min/position/first" of a document, as compact JSON ("5", "\"odd\"",
// "null"; a path that is not there reads "null" too).
QByteArray jsonAt(const QByteArray &document, const QString &path)
{
    const QJsonDocument parsed = QJsonDocument::fromJson(document);
    QJsonValue value = parsed.isArray() ? QJsonValue(parsed.array()) : QJsonValue(parsed.object());
    for (const QString &key : path.split(QLatin1Char('/'))) {
        bool index = false;
        const int i = key.toInt(&index);
        value = index ? value.toArray().at(i) : value.toObject().value(key);
    }
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

// A sensor whose every register the commands decode holds a value of its own, so that a
// field read from the wrong register or decoded the wrong way shows.
QJsonObject registerMap()
{
    QJsonArray input;
    const int measurements[] = {2950, 0x0905, 3401, 0x1011, 3005, 0, 0, 0, 0, 0, 0, 0,   0,
                                0,    0,      0,    0,      0,    0, 0, 0, 0, 3, 2, 3123};
    for (int v : measurements)
        input.append(v);
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

// Every setting holds a value of its own and none is the factory's, so that a register
// restored from the wrong name shows.
const QVector<int> Coils = {1, 0, 1, 0, 1, 1, 0, 1, 0, 1, 1, 0, 0};
const QVector<int> Holding = {1, 22, 3531, 2731, 3231, 2881, 3131, 2781, 1234, 87, 12, 5, 3, 2};
// What the sensor is changed to afterwards: every coil an operator sets flipped, every holding
// register but the bus settings another valid value.
const QVector<int> OtherHolding = {1,    22,  3000, 2600, 3300, 2900, 3200,
                                   2800, 500, 60,   20,   16,   1,    3};
const int OperatorCoils[] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 10};

QJsonArray array(const QVector<int> &values)
{
    QJsonArray a;
    for (int v : values)
        a.append(v);
    return a;
}

bool has(const QByteArray &text, const QString &pattern)
{
    return QString::fromUtf8(text).contains(QRegularExpression(pattern));
}

} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT
private slots:
    void commands_data();
    void commands();
    void watchUntilCtrlC();
    void backupChangeRestore();
    void refusalPartWayIsReported();
    void busSettingsMoveTheSensorLast();
    void refusedOrWrittenByName_data();
    void refusedOrWrittenByName();

private:
    bool startConfigured(const QStringList &faults = {});
    BriscaRun brisca(QStringList args, const QStringList &line = {});
    QStringList writesSince(int mark) const;
    QJsonObject backup();

    std::unique_ptr<SimProcess> m_sim;
};

void tst_Cli::commands_data()
{
    QTest::addColumn<QStringList>("simArgs"); // "MAP": the register map above; "-": no sensor
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("requests"); // the sensor saw; -1 when the count does not matter
    // "path=json ..." with --json; for grab the frames in the file (-1: left as it was); else a
    // text printed
    QTest::addColumn<QString>("expect");

    const QStringList none{"-"};
    const QStringList quick{"--timeout", "300"};
    const QStringList map = SensorLine + QStringList{"--fps", "0", "--load", "MAP"};
    // Usage errors are found before the port, which cannot exist, is opened.
    const QStringList missing{"--port", "/nonexistent/ttyBRISCA"};
    auto usage = [&](const char *name, const QStringList &args, int status = 2) {
        QTest::newRow(name) << none << args + missing << status << -1 << QString();
    };
    usage("no command", {}, 2);
    usage("unknown option", {"info", "--colour"});
    usage("slave 248", {"read", "--slave", "248"});
    usage("baud the sensor does not speak", {"info", "--baud", "300"});
    usage("parity", {"info", "--parity", "mark"});
    usage("grab without output", {"grab"});
    usage("info, no such port", {"info"}, 3);
    QTest::newRow("port missing") << none << QStringList{"read"} << 2 << -1 << "";
    QTest::newRow("help") << none << QStringList{"scan", "--help"} << 0 << -1 << "Usage: brisca";
    QTest::newRow("ports") << none << QStringList{"ports", "--json"} << 0 << -1 << "";

    QTest::newRow("info --json")
        << map << QStringList{"info", "--json"} + SensorLine << 0 << -1
        << "slave_address=7 serial_settings/baud=9600 serial_settings/parity=\"odd\" "
           "app1/upper_threshold/raw=3531 app1/upper_threshold/celsius=79.95 "
           "app1/lower_threshold/celsius=-0.05 app2/upper_threshold/raw=3231 "
           "app3/lower_threshold/raw=2781 app1/enabled=true app2/enabled=false "
           "app1/limit_field_of_view=true frame_average=true no_nc_output/enabled=false "
           "no_nc_output/timer_based=true no_nc_output/normally_closed=true "
           "no_nc_output/npn=false no_nc_output/duration_ms=1234 emissivity_percent=87 "
           "app2/centered_area_px=12 app2/moving_average_frames=5 app3/grid_roi/side_px=8 "
           "app3/grid_roi/regions=16 app3/counter_unidirectional=true "
           "temperature_choice/name=\"cold\"";
    QTest::newRow("read --json")
        << map << QStringList{"read", "--json"} + SensorLine << 0 << -1
        << "app1/min/raw=2950 app1/min/celsius=21.85 app1/min/position/first=5 "
           "app1/min/position/second=9 app1/max/raw=3401 app1/max/position/first=17 "
           "app1/average/raw=3005 app2/average/raw=3123 app1/alarm=false app2/alarm=true "
           "app3/alarm=false app3/counter=2 app3/highest_breach/celsius=null "
           "app3/highest_breach/area=3 app3/region_temperatures/0/raw=3025 "
           "app3/region_temperatures/2/raw=3027 app3/region_temperatures/3=null";
    QTest::newRow("read") << map << QStringList{"read"} + SensorLine << 0 << -1 << "at (5,9)";
    QTest::newRow("watch") << map << QStringList{"watch", "--count", "2"} + SensorLine << 0 << -1
                           << ",measurements,21.85,5,9,";
    QTest::newRow("watch with frames")
        << map << QStringList{"watch", "--count", "2", "--frames"} + SensorLine << 0 << -1
        << ",frame,21.85,5,9,";

    // Nothing but the probe may go to a slave that did not prove to be a sensor.
    QTest::newRow("wrong slave") << QStringList{} << QStringList{"info", "--slave", "2"} + quick
                                 << 1 << 1 << "";
    QTest::newRow("silent sensor")
        << QStringList{"--fault", "silent"} << QStringList{"read"} + quick << 1 << 1 << "";
    QTest::newRow("another kind of device") << QStringList{"--fault", "exception:2,fc=6"}
                                            << QStringList{"info"} + quick << 1 << 1 << "";

    // The ramp pattern; "OUT" is a file with something in it before.
    const QStringList ramp{"--pattern", "ramp"};
    const QStringList grab = QStringList{"grab", "--output", "OUT"} + quick;
    QTest::newRow("grab") << ramp << grab + QStringList{"--frames", "3"} << 0 << -1 << "3";
    // 3 requests select the sensor, 16 read an image; the second image goes unanswered.
    QTest::newRow("grab, sensor falls silent")
        << ramp + QStringList{"--fault", "silent,after=27"} << grab + QStringList{"--frames", "3"}
        << 1 << -1 << "1";
    QTest::newRow("grab, file cannot be written")
        << ramp << QStringList{"grab", "--output", "/nonexistent/grab.csv"} << 4 << -1 << "-1";

    const QStringList scan{"scan", "--json", "--baud", "19200",     "--parity",
                           "even", "--from", "1",      "--timeout", "300"};
    QTest::newRow("scan") << QStringList{"--slave", "3"} << scan + QStringList{"--to", "4"} << 0
                          << 4
                          << "0/kind=\"brisca\" 0/slave=3 0/baud=19200 0/parity=\"even\" 1=null";
    // A bus of several sensors: each at 19200 even is listed, the one at 9600 is not.
    QTest::newRow("scan, a bus of several sensors")
        << QStringList{"--slave", "3",      "--slave", "5",       "--slave",
                       "6",       "--baud", "9600",    "--slave", "7"}
        << scan + QStringList{"--to", "8"} << 0 << -1
        << "0/slave=3 1/slave=5 2/slave=7 2/kind=\"brisca\" 3=null";
    QTest::newRow("scan, outside the range")
        << QStringList{"--slave", "3"} << scan + QStringList{"--to", "2"} << 1 << 2 << "0=null";
    QTest::newRow("scan, another kind of device")
        << QStringList{"--slave", "3", "--fault", "exception:2,fc=6"}
        << scan + QStringList{"--to", "4"} << 1 << 4 << "0/kind=\"other\" 0/slave=3 1=null";
}

void tst_Cli::commands()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(int, requests);
    QFETCH(QString, expect);
    SimProcess sim;
    if (simArgs != QStringList{"-"}) {
        const int map = simArgs.indexOf("MAP");
        if (map >= 0)
            simArgs[map] = sim.writeJson("map.json", registerMap());
        QVERIFY(sim.start(simArgs));
        args << "--port" << sim.linkPath();
    }
    QFile file(sim.tempPath("grab.csv"));
    if (args.contains("OUT")) {
        args.replace(args.indexOf("OUT"), file.fileName());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("there before\n") > 0);
        file.close();
    }
    const BriscaRun run = runBrisca(args);
    QVERIFY2(run.status == status, run.err);
    if (status == 0) {
        QVERIFY2(run.err.isEmpty(), run.err);
    } else if (!(args.contains("scan") && args.contains("--json"))) {
        // Errors only on standard error, one line naming the program.
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.startsWith("brisca: ") && run.err.count('\n') == 1, run.err);
    }
    if (args.contains("--json")) {
        QVERIFY(!QJsonDocument::fromJson(run.out).isNull());
        for (const QString &pair : expect.split(' ', Qt::SkipEmptyParts)) {
            const int eq = pair.indexOf('=');
            QCOMPARE(jsonAt(run.out, pair.left(eq)), pair.mid(eq + 1).toUtf8());
        }
    } else if (args.contains("grab")) {
        const QVector<Recording::Sample> rows = Recording::readRecording(file.fileName()).rows;
        QCOMPARE(rows.size(), std::max(expect.toInt(), 0));
        if (expect.toInt() < 0 && file.open(QIODevice::ReadOnly))
            QCOMPARE(file.readAll(), "there before\n");
        for (const Recording::Sample &row : rows) {
            // The ramp: element i reads 2731 + i; the settings are read before the first image.
            for (int i = 0; i < 1024; ++i)
                QCOMPARE(row.frame.value(i), quint16(2731 + i));
            QCOMPARE(row.measurements.app1MaxThreshold, quint16(3531));
        }
    } else {
        QVERIFY2(run.out.contains(expect.toUtf8()), run.out);
    }
    if (sim.isRunning() && requests >= 0) {
        sim.stop(); // collects the rest of its log
        QCOMPARE(sim.received().size(), requests);
    }
}

// Ctrl+C is how a watch without a count ends: what was printed is all there, status 0.
void tst_Cli::watchUntilCtrlC()
{
    SimProcess sim;
    QVERIFY(sim.start(SensorLine + QStringList{"--fps", "0", "--load",
                                               sim.writeJson("map.json", registerMap())}));
    QProcess process;
    // A long interval: the first line must come through while the watch waits for the next.
    process.start(BRISCA_CLI_PATH,
                  QStringList{"watch", "--port", sim.linkPath(), "--interval", "600000"} +
                      SensorLine);
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).count('\n') >= 2, 20000);
    ::kill(pid_t(process.processId()), SIGINT);
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, 20000);
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE((out + process.readAllStandardOutput()).count('\n'), 2);
}

// The sensor the configuration commands work on, with the settings above.
bool tst_Cli::startConfigured(const QStringList &faults)
{
    m_sim = std::make_unique<SimProcess>();
    const QString map = m_sim->writeJson(QStringLiteral("map.json"),
                                         {{"coils", array(Coils)}, {"holding", array(Holding)}});
    return m_sim->start(QStringList{"--load", map, "--fps", "0"} + faults);
}

BriscaRun tst_Cli::brisca(QStringList args, const QStringList &line)
{
    return runBrisca(args << "--port" << m_sim->linkPath() << line);
}

QStringList tst_Cli::writesSince(int mark) const
{
    QStringList writes;
    for (const QString &request : m_sim->received().mid(mark)) {
        // The validation probe is a write the sensor refuses; it changes nothing.
        const int function = request.mid(2, 2).toInt(nullptr, 16);
        if (request.mid(2, 10) != QLatin1String("06000a03e8") &&
            (function == 0x05 || function == 0x06 || function == 0x0f || function == 0x10))
            writes << request.left(12);
    }
    return writes;
}

QJsonObject tst_Cli::backup()
{
    const QString path = m_sim->tempPath(QStringLiteral("backup.json"));
    QFile file(path);
    if (brisca({"backup", "--output", path}).status != 0 || !file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

void tst_Cli::backupChangeRestore()
{
    QVERIFY(startConfigured());
    QJsonObject file = backup();
    QCOMPARE(file.value("settings").toObject().value("app1.upper_threshold").toDouble(), 80.0);

    for (int coil : OperatorCoils)
        QVERIFY(m_sim->command(
            QStringLiteral("set coil %1 %2").arg(coil).arg(1 - Coils.at(coil)).toLatin1()));
    for (int address = 2; address < OtherHolding.size(); ++address)
        QVERIFY(m_sim->command(QStringLiteral("set holding %1 %2")
                                   .arg(address)
                                   .arg(OtherHolding.at(address))
                                   .toLatin1()));
    // A bus setting that differs is only compared without --bus.
    QJsonObject bus = file.value("bus").toObject();
    QCOMPARE(bus.value("parity").toString(), "even");
    bus.insert("parity", "odd");
    file.insert("bus", bus);
    const QString path = m_sim->writeJson("changed-bus.json", file);

    const BriscaRun diff = brisca({"diff", path});
    QCOMPARE(diff.status, 0);
    QVERIFY2(has(diff.out, "emissivity +60 % +87 %"), diff.out);
    QCOMPARE(diff.out.count('\n'), 1 + 10 + 12 + 1);

    // A dry run, even with the bus settings, writes nothing.
    int mark = m_sim->received().size();
    const BriscaRun dry = brisca({"restore", path, "--dry-run", "--bus"});
    QCOMPARE(dry.status, 0);
    QCOMPARE(writesSince(mark), QStringList());
    QVERIFY2(has(dry.out, "no_nc_output.duration +would write +500 ms +1234 ms"), dry.out);
    QVERIFY(dry.out.contains("23 settings to write"));

    mark = m_sim->received().size();
    const BriscaRun restore = brisca({"restore", path});
    QVERIFY2(restore.status == 0, restore.err + restore.out);
    QCOMPARE(m_sim->stateArray("coils").mid(0, 11), Coils.mid(0, 11));
    QCOMPARE(m_sim->stateArray("holding"), Holding);
    // Only what differed was written, each once.
    QCOMPARE(writesSince(mark).size(), 10 + 12);
    QVERIFY2(has(restore.out, "parity +not written"), restore.out);
    QVERIFY(restore.out.contains("22 written and verified, 2 unchanged, 0 failed, 1 not written."));
}

void tst_Cli::refusalPartWayIsReported()
{
    QVERIFY(startConfigured({"--fault", "exception:3,fc=6,addr=9"}));
    // The sensor refuses every write of the emissivity (holding register 9). The duration
    // comes before it, the application 1 threshold after it.
    QJsonObject file = backup();
    QVERIFY(m_sim->command("set holding 8 600"));
    QVERIFY(m_sim->command("set holding 9 40"));
    QVERIFY(m_sim->command("set holding 2 3000"));
    const BriscaRun run = brisca({"restore", m_sim->writeJson("restore.json", file)});
    QCOMPARE(run.status, 1);
    for (const char *pattern :
         {"no_nc_output.duration +written and verified",
          "emissivity +failed +87 % \\(sensor: 40 %\\): .*exception: 0x3",
          "app1.upper_threshold +not written",
          "Stopped at emissivity; written before it: no_nc_output.duration\\."})
        QVERIFY2(has(run.out, pattern), run.out);
    QVERIFY2(run.err.startsWith("brisca: 1 setting failed"), run.err);
    const QVector<int> h = m_sim->stateArray("holding");
    QCOMPARE((QVector<int>{h.at(2), h.at(8), h.at(9)}), (QVector<int>{3000, 1234, 40}));
}

void tst_Cli::busSettingsMoveTheSensorLast()
{
    QVERIFY(startConfigured());
    QJsonObject file = backup();
    file.insert("bus", QJsonObject{{"slave_address", 5}, {"baud_rate", 9600}, {"parity", "none"}});
    QVERIFY(m_sim->command("set holding 13 3"));
    const int mark = m_sim->received().size();
    const BriscaRun run = brisca({"restore", m_sim->writeJson("move.json", file), "--bus"});
    QVERIFY2(run.status == 0, run.err + run.out);
    for (const char *name : {"slave_address", "baud_rate", "parity", "temperature_choice"})
        QVERIFY2(has(run.out, QString(name) + " +written and verified"), run.out);
    // The operator's setting first, at the old address; then the address, answered from the
    // old one; the line settings last, at the new address. The sensor listens only at its new
    // line settings from then on: the read back that verified them came through there.
    QCOMPARE(writesSince(mark), (QStringList{"0106000d0002", "010600000005", "05060001000c"}));
    QCOMPARE(m_sim->stateArray("holding").mid(0, 2), (QVector<int>{5, 3 * 4 + 0}));
    QCOMPARE(brisca({"info"}, {"--slave", "5", "--baud", "9600", "--parity", "none"}).status, 0);
}

void tst_Cli::refusedOrWrittenByName_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QJsonObject>("settings"); // a file of them for FILE among the arguments
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("writes");
    QTest::addColumn<QString>("names"); // the error names; with status 2 nothing is sent

    const QStringList restore{"restore", "FILE"};
    // Good settings with the bad one in every file: nothing of them may be sent either.
    QTest::newRow("three settings")
        << QStringList{"set", "emissivity=80", "app1.upper_threshold=25.5",
                       "no_nc_output.select=N.O."}
        << QJsonObject() << 0 << QStringList{"010500020000", "010600090050", "010600020baa"} << "";
    QTest::newRow("out of range, with a good one first")
        << QStringList{"set", "emissivity=80", "app2.centered_area=33"} << QJsonObject() << 2
        << QStringList{} << "app2.centered_area";
    QTest::newRow("file with an unknown name")
        << restore << QJsonObject{{"emissivity", 50}, {"app1.enabled", false}, {"zoom", 2}} << 2
        << QStringList{} << "zoom";
    QTest::newRow("file with a value out of range")
        << restore << QJsonObject{{"emissivity", 50}, {"app3.lower_threshold", 700.0}} << 2
        << QStringList{} << "app3.lower_threshold";
}

void tst_Cli::refusedOrWrittenByName()
{
    QVERIFY(startConfigured());
    QFETCH(QStringList, args);
    QFETCH(QJsonObject, settings);
    QFETCH(int, status);
    QFETCH(QStringList, writes);
    QFETCH(QString, names);
    if (args.contains("FILE"))
        args.replace(args.indexOf("FILE"),
                     m_sim->writeJson("file.json", {{"format", "velmora-brisca-configuration"},
                                                    {"version", 1},
                                                    {"settings", settings}}));
    const int mark = m_sim->received().size();
    const BriscaRun run = brisca(args);
    QVERIFY2(run.status == status, run.err + run.out);
    QCOMPARE(writesSince(mark), writes);
    QVERIFY2(run.err.contains(names.toUtf8()), run.err);
    // A refused input is refused before the port is opened.
    if (status == 2)
        QCOMPARE(m_sim->received().mid(mark), QStringList());
}

QTEST_GUILESS_MAIN(tst_Cli)
#include "tst_cli.moc"
