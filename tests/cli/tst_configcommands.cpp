#include "simprocess.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

// brisca backup, diff, restore and set, run as a script runs them, against the virtual
// sensor; what reached the sensor is read from its state file and its request log.
class tst_ConfigCommands : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<QProcess::ExitStatus>(); }
    void init();
    void cleanup();
    void backupChangeRestore();
    void dryRunWritesNothing();
    void badFileWritesNothing_data();
    void badFileWritesNothing();
    void refusalPartWayIsReported();
    void busSettingsMoveTheSensorLast();
    void setByName_data();
    void setByName();

private:
    struct Run
    {
        int status = -1;
        QString out;
        QString err;
    };
    Run brisca(QStringList args, const QStringList &line = {});
    QStringList writesSince(int mark) const;
    QString writeFile(const QString &name, const QByteArray &text);
    QJsonObject backup();

    SimProcess *m_sim = nullptr;
};

namespace {

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

int functionOf(const QString &frame)
{
    return frame.mid(2, 2).toInt(nullptr, 16);
}

} // namespace

void tst_ConfigCommands::init()
{
    m_sim = new SimProcess(this);
    const QString map = m_sim->writeJson(QStringLiteral("map.json"),
                                         {{"coils", array(Coils)}, {"holding", array(Holding)}});
    QStringList args{"--load", map, "--fps", "0"};
    if (QByteArray(QTest::currentTestFunction()) == "refusalPartWayIsReported")
        args << "--fault"
             << "exception:3,fc=6,addr=9";
    QVERIFY(m_sim->start(args));
}

void tst_ConfigCommands::cleanup()
{
    delete m_sim;
    m_sim = nullptr;
}

tst_ConfigCommands::Run tst_ConfigCommands::brisca(QStringList args, const QStringList &line)
{
    args << "--port" << m_sim->linkPath() << line;
    QProcess process;
    // Waiting in the event loop lets the simulator's log come in meanwhile.
    QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    process.start(QStringLiteral(BRISCA_CLI_PATH), args);
    Run run;
    if (!finished.wait(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.status = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QStringList tst_ConfigCommands::writesSince(int mark) const
{
    QStringList writes;
    const QStringList all = m_sim->received();
    for (int i = mark; i < all.size(); ++i) {
        const int function = functionOf(all.at(i));
        // The validation probe is a write the sensor refuses; it changes nothing.
        if (all.at(i).mid(2, 10) == QLatin1String("06000a03e8"))
            continue;
        if (function == 0x05 || function == 0x06 || function == 0x0f || function == 0x10)
            writes << all.at(i).left(12);
    }
    return writes;
}

QString tst_ConfigCommands::writeFile(const QString &name, const QByteArray &text)
{
    const QString path = m_sim->tempPath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return {};
    return path;
}

QJsonObject tst_ConfigCommands::backup()
{
    const QString path = m_sim->tempPath(QStringLiteral("backup.json"));
    const Run run = brisca({"backup", "--output", path});
    if (run.status != 0)
        qWarning("backup: %s", qPrintable(run.err));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

void tst_ConfigCommands::backupChangeRestore()
{
    QJsonObject file = backup();
    QCOMPARE(file.value("settings").toObject().value("app1.upper_threshold").toDouble(), 80.0);
    QCOMPARE(file.value("bus").toObject().value("parity").toString(), "even");

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
    bus.insert("parity", "odd");
    file.insert("bus", bus);
    const QString path = writeFile("changed-bus.json", QJsonDocument(file).toJson());

    const Run diff = brisca({"diff", path});
    QCOMPARE(diff.status, 0);
    QVERIFY2(diff.out.contains(QRegularExpression("emissivity +60 % +87 %")), qPrintable(diff.out));
    QCOMPARE(diff.out.count('\n'), 1 + 10 + 12 + 1);

    const int mark = m_sim->received().size();
    const Run restore = brisca({"restore", path});
    QVERIFY2(restore.status == 0, qPrintable(restore.err + restore.out));
    QCOMPARE(m_sim->stateArray("coils").mid(0, 11), Coils.mid(0, 11));
    QCOMPARE(m_sim->stateArray("holding"), Holding);
    // Only what differed was written, each once.
    QCOMPARE(writesSince(mark).size(), 10 + 12);
    QVERIFY2(restore.out.contains(QRegularExpression("parity +not written")),
             qPrintable(restore.out));
    QVERIFY(restore.out.contains("22 written and verified, 2 unchanged, 0 failed, 1 not written."));

    // Restoring again finds nothing to write.
    const int again = m_sim->received().size();
    QCOMPARE(brisca({"restore", path}).status, 0);
    QCOMPARE(writesSince(again), QStringList());
}

void tst_ConfigCommands::dryRunWritesNothing()
{
    QJsonObject file = backup();
    QJsonObject settings = file.value("settings").toObject();
    settings.insert("no_nc_output.duration", 700);
    file.insert("settings", settings);
    QJsonObject bus = file.value("bus").toObject();
    bus.insert("baud_rate", 9600);
    file.insert("bus", bus);
    const QString path = writeFile("dry.json", QJsonDocument(file).toJson());

    const int mark = m_sim->received().size();
    const Run run = brisca({"restore", path, "--dry-run", "--bus"});
    QCOMPARE(run.status, 0);
    QCOMPARE(writesSince(mark), QStringList());
    QVERIFY2(
        run.out.contains(QRegularExpression("no_nc_output.duration +would write +1234 ms +700 ms")),
        qPrintable(run.out));
    QVERIFY(run.out.contains(QRegularExpression("baud_rate +would write +19200 +9600")));
    QVERIFY(run.out.contains("2 settings to write"));
}

void tst_ConfigCommands::badFileWritesNothing_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("names");

    const QByteArray head = R"({"format": "velmora-brisca-configuration", "version": 1, )";
    // The good settings come first in every file: nothing of them may be sent either.
    const QByteArray good = R"("settings": {"emissivity": 50, "app1.enabled": false, )";
    QTest::newRow("not JSON") << head + good << "not JSON";
    QTest::newRow("another format")
        << QByteArray(R"({"format": "csv", "version": 1})") << "another format";
    QTest::newRow("another version")
        << QByteArray(R"({"format": "velmora-brisca-configuration", "version": 3})") << "version 3";
    QTest::newRow("unknown name") << head + good + R"("zoom": 2}})"
                                  << "zoom";
    QTest::newRow("wrong type") << head + good + R"("app3.enabled": "on"}})"
                                << "app3.enabled";
    QTest::newRow("out of range") << head + good + R"("app3.lower_threshold": 700.0}})"
                                  << "app3.lower_threshold";
}

void tst_ConfigCommands::badFileWritesNothing()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, names);
    const QString path = writeFile("bad.json", text);
    const int mark = m_sim->received().size();
    const Run run = brisca({"restore", path});
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(names) && run.err.contains("nothing was sent"), qPrintable(run.err));
    // The file is refused before the port is opened.
    QCOMPARE(m_sim->received().mid(mark), QStringList());
}

void tst_ConfigCommands::refusalPartWayIsReported()
{
    // The sensor refuses every write of the emissivity (holding register 9). The duration
    // comes before it, the application 1 threshold after it.
    QJsonObject file = backup();
    QVERIFY(m_sim->command("set holding 8 600"));
    QVERIFY(m_sim->command("set holding 9 40"));
    QVERIFY(m_sim->command("set holding 2 3000"));
    const QString path = writeFile("restore.json", QJsonDocument(file).toJson());

    const Run run = brisca({"restore", path});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.out.contains(QRegularExpression("no_nc_output.duration +written and verified")),
             qPrintable(run.out));
    QVERIFY(run.out.contains(
        QRegularExpression("emissivity +failed +87 % \\(sensor: 40 %\\): .*exception: 0x3")));
    QVERIFY(run.out.contains(QRegularExpression("app1.upper_threshold +not written")));
    QVERIFY(run.out.contains("Stopped at emissivity; written before it: no_nc_output.duration."));
    QVERIFY2(run.err.startsWith("brisca: 1 setting failed"), qPrintable(run.err));
    const QVector<int> holding = m_sim->stateArray("holding");
    QCOMPARE(holding.at(8), 1234);
    QCOMPARE(holding.at(9), 40);
    QCOMPARE(holding.at(2), 3000);
}

void tst_ConfigCommands::busSettingsMoveTheSensorLast()
{
    QJsonObject file = backup();
    file.insert("bus", QJsonObject{{"slave_address", 5}, {"baud_rate", 9600}, {"parity", "none"}});
    QVERIFY(m_sim->command("set holding 13 3"));
    const QString path = writeFile("move.json", QJsonDocument(file).toJson());

    const int mark = m_sim->received().size();
    const Run run = brisca({"restore", path, "--bus"});
    QVERIFY2(run.status == 0, qPrintable(run.err + run.out));
    for (const char *name : {"slave_address", "baud_rate", "parity", "temperature_choice"})
        QVERIFY2(run.out.contains(QRegularExpression(QString(name) + " +written and verified")),
                 qPrintable(run.out));
    QCOMPARE(m_sim->stateArray("holding").mid(0, 2),
             (QVector<int>{5, 3 * 4 + 0})); // 9600 baud, no parity
    // The operator's setting first, at the old address; then the address, answered from the
    // old one; the line settings last, at the new address.
    QCOMPARE(writesSince(mark), (QStringList{"0106000d0002", "010600000005", "05060001000c"}));
    // And it answers there.
    const Run info =
        brisca({"info", "--json"}, {"--slave", "5", "--baud", "9600", "--parity", "none"});
    QCOMPARE(info.status, 0);
}

void tst_ConfigCommands::setByName_data()
{
    QTest::addColumn<QStringList>("pairs");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("writes");

    QTest::newRow("three settings")
        << QStringList{"emissivity=80", "app1.upper_threshold=25.5", "no_nc_output.select=N.O."}
        << 0 << QStringList{"010500020000", "010600090050", "010600020baa"};
    QTest::newRow("already so") << QStringList{"emissivity=87"} << 0 << QStringList{};
    QTest::newRow("out of range, with a good one first")
        << QStringList{"emissivity=80", "app2.centered_area=33"} << 2 << QStringList{};
    QTest::newRow("unknown name") << QStringList{"brightness=3"} << 2 << QStringList{};
    QTest::newRow("no value") << QStringList{"emissivity"} << 2 << QStringList{};
}

void tst_ConfigCommands::setByName()
{
    QFETCH(QStringList, pairs);
    QFETCH(int, status);
    QFETCH(QStringList, writes);
    const int mark = m_sim->received().size();
    const Run run = brisca(QStringList{"set"} + pairs);
    QVERIFY2(run.status == status, qPrintable(run.err + run.out));
    QCOMPARE(writesSince(mark), writes);
    if (status == 2)
        QVERIFY(m_sim->received().mid(mark).isEmpty());
}

QTEST_GUILESS_MAIN(tst_ConfigCommands)
#include "tst_configcommands.moc"
