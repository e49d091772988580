#include "briscadevice.h"
#include "configuration.h"
#include "settingcatalog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace BriscaConfig;

// The settings by name and the configuration file, without a sensor: what a file says, what
// a typed value means, and that every raw value survives the trip through the file.
class tst_Configuration : public QObject
{
    Q_OBJECT
private slots:
    void everyTemperatureSurvivesTheFile();
    void typedValues_data();
    void typedValues();
    void savedFileNamesTheSensorsValues();
    void badFiles_data();
    void badFiles();
};

void tst_Configuration::everyTemperatureSurvivesTheFile()
{
    // The text a file holds, read back as a JSON parser reads it, for all 65536 raw values:
    // a float on the way, or rounding where the window truncates, loses some of them.
    for (int raw = 0; raw <= 0xFFFF; ++raw) {
        const QByteArray text = "[" + temperatureText(quint16(raw)).toLatin1() + "]";
        const double celsius = QJsonDocument::fromJson(text).array().at(0).toDouble();
        quint16 back = 0;
        const bool ok = temperatureFromHundredths(qRound64(celsius * 100.0), &back);
        if (!ok || back != raw)
            QFAIL(qPrintable(QStringLiteral("raw %1 came back as %2").arg(raw).arg(back)));
    }
}

void tst_Configuration::typedValues_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("raw"); // -1: refused, naming the setting

    // Temperatures as the window writes them: (°C + 273.15) × 10, truncated.
    QTest::newRow("25.0") << "app1.upper_threshold"
                          << "25.0" << 2981;
    QTest::newRow("0 with its unit") << "app2.lower_threshold"
                                     << "0 °C" << 2731;
    QTest::newRow("-20.0, the lowest") << "app3.lower_threshold"
                                       << "-20.0" << 2531;
    QTest::newRow("hundredths as info prints them") << "app1.upper_threshold"
                                                    << "79.95" << 3531;
    QTest::newRow("670.5 too hot") << "app1.upper_threshold"
                                   << "670.5" << -1;
    QTest::newRow("three decimals") << "app1.lower_threshold"
                                    << "20.125" << -1;
    QTest::newRow("emissivity 100") << "emissivity"
                                    << "100" << 100;
    QTest::newRow("emissivity 0") << "emissivity"
                                  << "0" << -1;
    QTest::newRow("duration 49 ms") << "no_nc_output.duration"
                                    << "49ms" << -1;
    QTest::newRow("centred area 32") << "app2.centered_area"
                                     << "32" << 32;
    QTest::newRow("centred area odd") << "app2.centered_area"
                                      << "21" << -1;
    QTest::newRow("grid 16 px is code 4") << "app3.grid_roi_size"
                                          << "16" << 4;
    QTest::newRow("grid 32 px") << "app3.grid_roi_size"
                                << "32" << -1;
    QTest::newRow("N.O. is coil off") << "no_nc_output.select"
                                      << "n.o." << 0;
    QTest::newRow("PNP is coil off") << "no_nc_output.transistor"
                                     << "PNP" << 0;
    QTest::newRow("action based is coil off") << "no_nc_output.reset"
                                              << "action based" << 0;
    QTest::newRow("unidirectional") << "app3.counter_type"
                                    << "unidirectional" << 1;
    QTest::newRow("cold") << "temperature_choice"
                          << "cold" << 2;
    QTest::newRow("switch on") << "app2.enabled"
                               << "on" << 1;
    QTest::newRow("switch yes") << "app2.enabled"
                                << "yes" << -1;
    QTest::newRow("baud 9600 is index 3") << "baud_rate"
                                          << "9600" << 3;
    QTest::newRow("baud 300") << "baud_rate"
                              << "300" << -1;
    QTest::newRow("odd parity is code 1") << "parity"
                                          << "odd" << 1;
    QTest::newRow("slave 248") << "slave_address"
                               << "248" << -1;
}

void tst_Configuration::typedValues()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(int, raw);
    const int index = indexOf(name);
    QVERIFY(index >= 0);
    quint16 value = 0;
    QString error;
    const bool ok = valueFromText(settings().at(index), text, &value, &error);
    QCOMPARE(ok, raw >= 0);
    if (ok)
        QCOMPARE(int(value), raw);
    else
        QVERIFY2(error.startsWith(name + QLatin1String(": ")), qPrintable(error));
}

void tst_Configuration::savedFileNamesTheSensorsValues()
{
    // Every cache holds a value of its own, so that a setting read from the wrong field, or
    // written under the wrong name, shows.
    BriscaDevice device;
    device.slaveAddress = 7;
    device.serialSettings = Brisca::serialSettingsCode(9600, Brisca::ParityCodeOdd);
    device.app1MaxThreshold = 3531;
    device.app1MinThreshold = 2532;
    device.app2MaxThreshold = 3231;
    device.app2MinThreshold = 2881;
    device.app3MaxThreshold = 9431;
    device.app3MinThreshold = 2781;
    device.alarmDuration = 1234;
    device.emissivity = 87;
    device.reticleSize = 12;
    device.movingAverageWindow = 5;
    device.gridRoiSize = 3;
    device.temperatureChoice = 2;
    device.outputNormallyClosed = true;
    device.counterUnidirectional = true;
    device.app2Enabled = true;
    device.app1LimitFov = true;

    const QByteArray json = Configuration::fromSensor(device, QStringLiteral("/dev/ttyX")).toJson();
    const QJsonObject file = QJsonDocument::fromJson(json).object();
    const QJsonObject s = file.value("settings").toObject();
    const QJsonObject bus = file.value("bus").toObject();
    QCOMPARE(s.size(), 22);
    QCOMPARE(s.value("app1.upper_threshold").toDouble(), 80.0);
    QCOMPARE(s.value("app1.lower_threshold").toDouble(), -19.9);
    QCOMPARE(s.value("app3.upper_threshold").toDouble(), 670.0);
    QCOMPARE(s.value("app2.lower_threshold").toDouble(), 15.0);
    QCOMPARE(s.value("no_nc_output.duration").toInt(), 1234);
    QCOMPARE(s.value("emissivity").toInt(), 87);
    QCOMPARE(s.value("app2.centered_area").toInt(), 12);
    QCOMPARE(s.value("app2.moving_average_window").toInt(), 5);
    QCOMPARE(s.value("app3.grid_roi_size").toInt(), 8);
    QCOMPARE(s.value("temperature_choice").toString(), "cold");
    QCOMPARE(s.value("no_nc_output.select").toString(), "N.C.");
    QCOMPARE(s.value("no_nc_output.transistor").toString(), "PNP");
    QCOMPARE(s.value("app3.counter_type").toString(), "unidirectional");
    QCOMPARE(s.value("app1.enabled").toBool(), false);
    QCOMPARE(s.value("app2.enabled").toBool(), true);
    QCOMPARE(s.value("app1.limit_field_of_view").toBool(), true);
    QCOMPARE(bus.value("slave_address").toInt(), 7);
    QCOMPARE(bus.value("baud_rate").toInt(), 9600);
    QCOMPARE(bus.value("parity").toString(), "odd");
    QCOMPARE(file.value("sensor").toObject().value("port").toString(), "/dev/ttyX");
    // The decimal stays, as the editors show it.
    QVERIFY2(json.contains("\"app1.upper_threshold\": 80.0,"), json.constData());

    Configuration back;
    QString error;
    QVERIFY2(Configuration::fromJson(json, &back, &error), qPrintable(error));
    QCOMPARE(back.values().size(), 25);
    for (auto it = back.values().constBegin(); it != back.values().constEnd(); ++it)
        QCOMPARE(it.value(), sensorValue(device, settings().at(it.key())));
}

void tst_Configuration::badFiles_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("says");

    const QByteArray head = R"({"format": "velmora-brisca-configuration", "version": 1, )";
    QTest::newRow("not JSON") << QByteArray("{\n  \"format\": ") << "not JSON";
    QTest::newRow("an array") << QByteArray("[1, 2]") << "names no \"format\"";
    QTest::newRow("another format")
        << QByteArray(R"({"format": "recording", "version": 1})") << "another format";
    QTest::newRow("version 2") << QByteArray(R"({"format": "velmora-brisca-configuration",
                                                  "version": 2})")
                               << "version 2";
    QTest::newRow("unknown name") << head + R"("settings": {"app4.enabled": true}})"
                                  << "\"app4.enabled\"";
    QTest::newRow("bus setting among the others") << head + R"("settings": {"parity": "odd"}})"
                                                  << "\"parity\" in \"settings\"";
    QTest::newRow("unknown key") << head + R"("comment": "site A"})"
                                 << "\"comment\"";
    QTest::newRow("switch as text") << head + R"("settings": {"app1.enabled": "true"}})"
                                    << "app1.enabled: expected true";
    QTest::newRow("number as text") << head + R"("settings": {"emissivity": "95"}})"
                                    << "emissivity: expected a number";
    QTest::newRow("emissivity 101")
        << head + R"("settings": {"app1.enabled": true, "emissivity": 101}})"
        << "emissivity: 101 % is out of range";
    QTest::newRow("threshold too cold") << head + R"("settings": {"app2.upper_threshold": -20.1}})"
                                        << "app2.upper_threshold: -20.1 °C is out of range";
    QTest::newRow("below absolute zero") << head + R"("settings": {"app2.upper_threshold": -300}})"
                                         << "app2.upper_threshold";
    QTest::newRow("window 2.5 frames")
        << head + R"("settings": {"app2.moving_average_window": 2.5}})"
        << "app2.moving_average_window: expected a whole number";
    QTest::newRow("unknown choice") << head + R"("settings": {"temperature_choice": "warm"}})"
                                    << "temperature_choice";
    QTest::newRow("unknown baud") << head + R"("bus": {"baud_rate": 300}})"
                                  << "baud_rate";
}

void tst_Configuration::badFiles()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, says);
    Configuration configuration;
    configuration.setValue(0, 1);
    QString error;
    QVERIFY(!Configuration::fromJson(text, &configuration, &error));
    QVERIFY2(error.contains(says), qPrintable(error));
    // A refused file leaves nothing half read.
    QCOMPARE(configuration.values().size(), 1);
}

QTEST_GUILESS_MAIN(tst_Configuration)
#include "tst_configuration.moc"
