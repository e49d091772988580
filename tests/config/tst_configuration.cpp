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
        if (!temperatureFromHundredths(qRound64(celsius * 100.0), &back) || back != raw)
            QFAIL(qPrintable(QStringLiteral("raw %1 came back as %2").arg(raw).arg(back)));
    }
}

void tst_Configuration::typedValues_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("raw"); // -1: refused, naming the setting

    // Temperatures as the window writes them: (°C + 273.15) × 10, truncated.
    const struct
    {
        const char *name, *text;
        int raw;
    } rows[] = {
        {"app1.upper_threshold", "25.0", 2981},
        {"app3.lower_threshold", "-20.0", 2531},
        {"app1.upper_threshold", "79.95", 3531}, // hundredths, as info prints them
        {"app1.upper_threshold", "670.5", -1},
        {"app1.lower_threshold", "20.125", -1},
        {"emissivity", "0", -1},
        {"no_nc_output.duration", "49ms", -1},
        {"app2.centered_area", "21", -1},
        {"app3.grid_roi_size", "16", 4},
        {"no_nc_output.select", "n.o.", 0},
        {"temperature_choice", "cold", 2},
        {"baud_rate", "9600", 3},
        {"parity", "odd", 1},
        {"slave_address", "248", -1},
    };
    for (const auto &row : rows)
        QTest::addRow("%s %s", row.name, row.text) << row.name << row.text << row.raw;
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
    QCOMPARE(ok ? int(value) : -1, raw);
    if (!ok)
        QVERIFY2(error.startsWith(name + QLatin1String(": ")), qPrintable(error));
}

void tst_Configuration::badFiles_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("says");

    const QByteArray head = R"({"format": "velmora-brisca-configuration", "version": 1, )";
    const QByteArray in = head + R"("settings": {)";
    const struct
    {
        const char *name;
        QByteArray text;
        const char *says;
    } rows[] = {
        {"not JSON", "{\n  \"format\": ", "not JSON"},
        {"another format", R"({"format": "recording", "version": 1})", "another format"},
        {"version 2", R"({"format": "velmora-brisca-configuration", "version": 2})", "version 2"},
        {"unknown name", in + R"("app4.enabled": true}})", "\"app4.enabled\""},
        {"bus setting among the others", in + R"("parity": "odd"}})", "\"parity\" in \"settings\""},
        {"switch as text", in + R"("app1.enabled": "true"}})", "app1.enabled: expected true"},
        {"emissivity 101", in + R"("app1.enabled": true, "emissivity": 101}})",
         "emissivity: 101 % is out of range"},
        {"threshold too cold", in + R"("app2.upper_threshold": -20.1}})",
         "app2.upper_threshold: -20.1 °C is out of range"},
        {"unknown choice", in + R"("temperature_choice": "warm"}})", "temperature_choice"},
    };
    for (const auto &row : rows)
        QTest::newRow(row.name) << row.text << QString::fromUtf8(row.says);
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
