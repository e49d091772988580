#pragma once

#include <QJsonValue>
#include <QModbusDataUnit>
#include <QString>
#include <QVector>

class BriscaDevice;

// Every setting an operator can change on a sensor, by a name that stays: the names are what
// configuration files and `brisca set` use, so they never change meaning once released.
//
// A setting's value is handled as its raw field: the register value (or, for the baud rate
// and parity, which share holding register 1, the bits of it that are the setting's). Text
// and JSON show it in the units and words of the window.
namespace BriscaConfig {

enum class Kind
{
    Switch,      // a coil: true or false
    Number,      // a whole number in a range, with a step
    Temperature, // tenths of a kelvin on the bus, °C with one decimal in text
    Choice,      // one of a list of words or numbers
};

struct Choice
{
    QString text;
    quint16 raw;
};

struct Setting
{
    QString name;  // stable, for files and the command line
    QString label; // as the window calls it
    Kind kind = Kind::Switch;
    QString unit;
    QModbusDataUnit::RegisterType table = QModbusDataUnit::Coils;
    int address = 0;
    // The setting's bits within its register.
    quint16 mask = 0xFFFF;
    int shift = 0;
    // Number: the register values allowed, every `step` from `minimum`. Temperature: the raw
    // values allowed.
    int minimum = 0;
    int maximum = 0;
    int step = 1;
    QVector<Choice> choices;
    bool numericChoices = false; // choices are numbers in JSON (baud rate, region size)
    bool bus = false;            // slave address, baud rate, parity
};

// In the order of the window: settings page, then the three applications; bus settings last.
const QVector<Setting> &settings();
// Index into settings(), or -1.
int indexOf(const QString &name);

// The setting's raw field from its register value, and back into a register value.
quint16 fieldOf(const Setting &setting, quint16 registerValue);
quint16 withField(const Setting &setting, quint16 registerValue, quint16 raw);

bool inRange(const Setting &setting, quint16 raw);
// "-20.0 to 670.0 °C", "one of N.C., N.O.", ...
QString rangeText(const Setting &setting);

// For people: "80.0 °C", "N.C.", "on", "20 px".
QString valueText(const Setting &setting, quint16 raw);
QJsonValue valueJson(const Setting &setting, quint16 raw);

// Both check type and range; on failure *error says why, starting with the setting's name.
bool valueFromJson(const Setting &setting, const QJsonValue &value, quint16 *raw, QString *error);
// As typed on a command line: "on", "25.5", "N.C.", "19200"; the unit may follow.
bool valueFromText(const Setting &setting, const QString &text, quint16 *raw, QString *error);

// A temperature as the window's threshold editors show it: one decimal, computed in whole
// tenths, so that temperatureFromHundredths(temperatureText(raw) * 100) gives raw back for
// every raw value.
QString temperatureText(quint16 raw);
// The raw value the window writes for a temperature given in hundredths of a degree:
// (°C + 273.15) × 10 truncated. False when that is below 0 or above 65535.
bool temperatureFromHundredths(qint64 hundredths, quint16 *raw);

// What the device's caches hold for the setting (the register read or echoed last).
quint16 sensorValue(const BriscaDevice &device, const Setting &setting);

} // namespace BriscaConfig
