#include "settingcatalog.h"
#include "translation_p.h"

#include "briscadevice.h"
#include "briscaregisters.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <cmath>
#include <iterator>

namespace BriscaConfig {

namespace {

constexpr auto Coils = QModbusDataUnit::Coils;
constexpr auto Holding = QModbusDataUnit::HoldingRegisters;

// The threshold editors of the application pages: -20.0 to 670.0 °C; the sensor refuses
// anything else.
constexpr int ThresholdMinimum = 2531;
constexpr int ThresholdMaximum = 9431;

Setting make(const char *name, const QString &label, Kind kind, const QString &unit,
             QModbusDataUnit::RegisterType table, int address)
{
    Setting s;
    s.name = QLatin1String(name);
    s.label = label;
    s.kind = kind;
    s.unit = unit;
    s.table = table;
    s.address = address;
    return s;
}

Setting makeSwitch(const char *name, const QString &label, int coil)
{
    Setting s = make(name, label, Kind::Switch, QString(), Coils, coil);
    s.maximum = 1;
    return s;
}

Setting makeChoice(const char *name, const QString &label, QModbusDataUnit::RegisterType table,
                   int address, QVector<Choice> choices)
{
    Setting s = make(name, label, Kind::Choice, QString(), table, address);
    s.choices = std::move(choices);
    return s;
}

Setting makeNumber(const char *name, const QString &label, const QString &unit, int address,
                   int minimum, int maximum, int step = 1)
{
    Setting s = make(name, label, Kind::Number, unit, Holding, address);
    s.minimum = minimum;
    s.maximum = maximum;
    s.step = step;
    return s;
}

Setting makeThreshold(const char *name, const QString &label, int address)
{
    Setting s = make(name, label, Kind::Temperature, QStringLiteral("°C"), Holding, address);
    s.minimum = ThresholdMinimum;
    s.maximum = ThresholdMaximum;
    return s;
}

QVector<Setting> buildCatalog()
{
    using namespace Brisca;
    const QString app1 = tr("Application 1");
    const QString app2 = tr("Application 2");
    const QString app3 = tr("Application 3");
    QVector<Setting> all{
        makeSwitch("no_nc_output.enabled", tr("Electrical NO/NC output"), CoilNoNcEnabled),
        makeChoice("no_nc_output.select", tr("NO/NC select"), Coils, CoilOutputNormallyClosed,
                   {{QStringLiteral("N.C."), 1}, {QStringLiteral("N.O."), 0}}),
        makeChoice("no_nc_output.transistor", tr("NPN/PNP select"), Coils, CoilTransistorNpn,
                   {{QStringLiteral("NPN"), 1}, {QStringLiteral("PNP"), 0}}),
        makeChoice("no_nc_output.reset", tr("NO/NC reset"), Coils, CoilAlarmTimerBased,
                   {{QStringLiteral("timer based"), 1}, {QStringLiteral("action based"), 0}}),
        makeNumber("no_nc_output.duration", tr("NO/NC duration"), QStringLiteral("ms"),
                   HoldingAlarmDuration, 50, 2000),
        makeChoice("temperature_choice", tr("Temperature choice"), Holding,
                   HoldingTemperatureChoice,
                   {{QStringLiteral("hot"), TemperatureHot},
                    {QStringLiteral("cold"), TemperatureCold},
                    {QStringLiteral("hot and cold"), TemperatureHotAndCold}}),
        makeNumber("emissivity", tr("Emissivity"), QStringLiteral("%"), HoldingEmissivity, 1, 100),
        makeSwitch("frame_average", tr("4 frame moving average (applications 1 and 3)"),
                   CoilFrameAverage),
        makeSwitch("app1.enabled", app1, CoilApp1Enabled),
        makeThreshold("app1.upper_threshold", tr("%1 upper threshold").arg(app1),
                      HoldingApp1MaxThreshold),
        makeThreshold("app1.lower_threshold", tr("%1 lower threshold").arg(app1),
                      HoldingApp1MinThreshold),
        makeSwitch("app1.limit_field_of_view", tr("%1 limit field of view").arg(app1),
                   CoilApp1LimitFov),
        makeSwitch("app2.enabled", app2, CoilApp2Enabled),
        makeThreshold("app2.upper_threshold", tr("%1 upper threshold").arg(app2),
                      HoldingApp2MaxThreshold),
        makeThreshold("app2.lower_threshold", tr("%1 lower threshold").arg(app2),
                      HoldingApp2MinThreshold),
        makeNumber("app2.centered_area", tr("%1 centered area size").arg(app2),
                   QStringLiteral("px"), HoldingReticleSize, 2, 32, 2),
        makeNumber("app2.moving_average_window", tr("%1 moving average window").arg(app2),
                   tr("frames"), HoldingMovingAverageWindow, 1, 16),
        makeSwitch("app3.enabled", app3, CoilApp3Enabled),
        makeThreshold("app3.upper_threshold", tr("%1 upper threshold").arg(app3),
                      HoldingApp3MaxThreshold),
        makeThreshold("app3.lower_threshold", tr("%1 lower threshold").arg(app3),
                      HoldingApp3MinThreshold),
        makeChoice("app3.grid_roi_size", tr("%1 grid ROI size").arg(app3), Holding,
                   HoldingGridRoiSize, {}),
        makeChoice("app3.counter_type", tr("%1 counter type").arg(app3), Coils,
                   CoilCounterUnidirectional,
                   {{QStringLiteral("bidirectional"), 0}, {QStringLiteral("unidirectional"), 1}}),
        makeNumber("slave_address", tr("Slave address"), QString(), HoldingSlaveAddress, 1, 247),
        makeChoice("baud_rate", tr("Baudrate"), Holding, HoldingSerialSettings, {}),
        makeChoice("parity", tr("Parity"), Holding, HoldingSerialSettings,
                   {{QStringLiteral("none"), ParityCodeNone},
                    {QStringLiteral("odd"), ParityCodeOdd},
                    {QStringLiteral("even"), ParityCodeEven}}),
    };
    for (Setting &s : all) {
        if (s.name == QLatin1String("app3.grid_roi_size")) {
            for (quint8 code = 1; gridCodeKnown(code); ++code)
                s.choices.append({QString::number(roiSideFromGridCode(code)), code});
            s.numericChoices = true;
            s.unit = QStringLiteral("px");
        } else if (s.name == QLatin1String("baud_rate")) {
            for (quint8 index = 0; baudRateOfIndex(index) != 0; ++index)
                s.choices.append({QString::number(baudRateOfIndex(index)), index});
            s.numericChoices = true;
            s.mask = 0xF;
            s.shift = 2;
            s.bus = true;
        } else if (s.name == QLatin1String("parity")) {
            s.mask = 0x3;
            s.bus = true;
        } else if (s.name == QLatin1String("slave_address")) {
            s.bus = true;
        }
    }
    return all;
}

// A JSON value as it stands in the file, for messages.
QString jsonText(const QJsonValue &value)
{
    if (value.isUndefined())
        return QStringLiteral("nothing");
    QString text =
        QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact));
    return text.mid(1, text.size() - 2);
}

QString withUnit(const Setting &setting, const QString &value)
{
    if (setting.unit.isEmpty())
        return value;
    // "20 px", "95 %", "80.0 °C"
    return value + QLatin1Char(' ') + setting.unit;
}

bool fail(const Setting &setting, const QString &why, QString *error)
{
    if (error)
        *error = setting.name + QLatin1String(": ") + why;
    return false;
}

bool checkRange(const Setting &setting, quint16 raw, const QString &shown, QString *error)
{
    if (inRange(setting, raw))
        return true;
    return fail(setting, tr("%1 is out of range (%2)").arg(shown, rangeText(setting)), error);
}

bool choiceFromText(const Setting &setting, const QString &text, const QString &shown, quint16 *raw,
                    QString *error)
{
    for (const Choice &choice : setting.choices) {
        if (choice.text.compare(text.trimmed(), Qt::CaseInsensitive) == 0) {
            *raw = choice.raw;
            return true;
        }
    }
    return fail(setting, tr("%1 is not %2").arg(shown, rangeText(setting)), error);
}

// Whole hundredths of a degree, or false when the number has more decimals than that.
bool hundredthsOf(double celsius, qint64 *hundredths)
{
    const double scaled = celsius * 100.0;
    if (!std::isfinite(scaled) || std::fabs(scaled) > 1e12)
        return false;
    const double whole = std::round(scaled);
    // A decimal such as 24.9 is no exact binary fraction; what remains of it is far below
    // this.
    if (std::fabs(scaled - whole) > 1e-6)
        return false;
    *hundredths = qint64(whole);
    return true;
}

bool temperatureFromNumber(const Setting &setting, double celsius, const QString &shown,
                           quint16 *raw, QString *error)
{
    qint64 hundredths = 0;
    if (!hundredthsOf(celsius, &hundredths))
        return fail(setting, tr("%1 °C has more than two decimals").arg(shown), error);
    quint16 value = 0;
    if (!temperatureFromHundredths(hundredths, &value))
        return fail(setting, tr("%1 °C is out of range (%2)").arg(shown, rangeText(setting)),
                    error);
    if (!checkRange(setting, value, shown + QStringLiteral(" °C"), error))
        return false;
    *raw = value;
    return true;
}

bool numberFrom(const Setting &setting, double number, const QString &shown, quint16 *raw,
                QString *error)
{
    if (number != std::floor(number) || !std::isfinite(number))
        return fail(setting, tr("expected a whole number, not %1").arg(shown), error);
    if (number < setting.minimum || number > setting.maximum ||
        (int(number) - setting.minimum) % setting.step != 0)
        return fail(setting,
                    tr("%1 is out of range (%2)").arg(withUnit(setting, shown), rangeText(setting)),
                    error);
    *raw = quint16(number);
    return true;
}

} // namespace

const QVector<Setting> &settings()
{
    static const QVector<Setting> catalog = buildCatalog();
    return catalog;
}

int indexOf(const QString &name)
{
    const QVector<Setting> &all = settings();
    for (int i = 0; i < all.size(); ++i) {
        if (all.at(i).name == name)
            return i;
    }
    return -1;
}

quint16 fieldOf(const Setting &setting, quint16 registerValue)
{
    if (setting.table == Coils)
        return registerValue != 0 ? 1 : 0;
    return quint16((registerValue >> setting.shift) & setting.mask);
}

quint16 withField(const Setting &setting, quint16 registerValue, quint16 raw)
{
    if (setting.table == Coils)
        return raw != 0 ? 1 : 0;
    const quint16 bits = quint16(setting.mask << setting.shift);
    return quint16((registerValue & ~bits) | ((raw << setting.shift) & bits));
}

bool inRange(const Setting &setting, quint16 raw)
{
    switch (setting.kind) {
    case Kind::Switch:
        return raw <= 1;
    case Kind::Number:
    case Kind::Temperature:
        return raw >= setting.minimum && raw <= setting.maximum &&
               (raw - setting.minimum) % setting.step == 0;
    case Kind::Choice:
        for (const Choice &choice : setting.choices) {
            if (choice.raw == raw)
                return true;
        }
        return false;
    }
    return false;
}

QString rangeText(const Setting &setting)
{
    switch (setting.kind) {
    case Kind::Switch:
        return tr("true or false");
    case Kind::Temperature:
        return tr("%1 to %2 °C")
            .arg(temperatureText(quint16(setting.minimum)),
                 temperatureText(quint16(setting.maximum)));
    case Kind::Number: {
        QString text = tr("%1 to %2")
                           .arg(setting.minimum)
                           .arg(withUnit(setting, QString::number(setting.maximum)));
        if (setting.step != 1)
            text += tr(", in steps of %1").arg(setting.step);
        return text;
    }
    case Kind::Choice: {
        QStringList names;
        for (const Choice &choice : setting.choices)
            names << choice.text;
        return withUnit(setting, tr("one of %1").arg(names.join(QLatin1String(", "))));
    }
    }
    return QString();
}

QString valueText(const Setting &setting, quint16 raw)
{
    switch (setting.kind) {
    case Kind::Switch:
        return raw ? tr("on") : tr("off");
    case Kind::Number:
        return withUnit(setting, QString::number(raw));
    case Kind::Temperature:
        return withUnit(setting, temperatureText(raw));
    case Kind::Choice:
        for (const Choice &choice : setting.choices) {
            if (choice.raw == raw)
                return withUnit(setting, choice.text);
        }
        return tr("unknown (raw %1)").arg(raw);
    }
    return QString();
}

QJsonValue valueJson(const Setting &setting, quint16 raw)
{
    switch (setting.kind) {
    case Kind::Switch:
        return raw != 0;
    case Kind::Number:
        return int(raw);
    case Kind::Temperature:
        // Written as text by the file writer, which keeps the decimal; as a number here.
        return (int(raw) - 2731) / 10.0;
    case Kind::Choice:
        for (const Choice &choice : setting.choices) {
            if (choice.raw == raw)
                return setting.numericChoices ? QJsonValue(choice.text.toInt()) : choice.text;
        }
        // What no choice means: a load refuses it, naming the setting.
        return QJsonValue::Null;
    }
    return QJsonValue::Null;
}

bool valueFromJson(const Setting &setting, const QJsonValue &value, quint16 *raw, QString *error)
{
    const QString shown = jsonText(value);
    switch (setting.kind) {
    case Kind::Switch:
        if (!value.isBool())
            return fail(setting, tr("expected true or false, not %1").arg(shown), error);
        *raw = value.toBool() ? 1 : 0;
        return true;
    case Kind::Number:
        if (!value.isDouble())
            return fail(setting, tr("expected a number, not %1").arg(shown), error);
        return numberFrom(setting, value.toDouble(), shown, raw, error);
    case Kind::Temperature:
        if (!value.isDouble())
            return fail(setting, tr("expected a temperature in °C, not %1").arg(shown), error);
        return temperatureFromNumber(setting, value.toDouble(), shown, raw, error);
    case Kind::Choice:
        if (setting.numericChoices ? !value.isDouble() : !value.isString())
            return fail(setting, tr("expected %1, not %2").arg(rangeText(setting), shown), error);
        return choiceFromText(setting, setting.numericChoices ? shown : value.toString(), shown,
                              raw, error);
    }
    return false;
}

bool valueFromText(const Setting &setting, const QString &text, quint16 *raw, QString *error)
{
    QString value = text.trimmed();
    if (!setting.unit.isEmpty() && value.endsWith(setting.unit))
        value = value.chopped(setting.unit.size()).trimmed();
    switch (setting.kind) {
    case Kind::Switch: {
        const QString word = value.toLower();
        if (word == QLatin1String("on") || word == QLatin1String("true")) {
            *raw = 1;
            return true;
        }
        if (word == QLatin1String("off") || word == QLatin1String("false")) {
            *raw = 0;
            return true;
        }
        return fail(setting, tr("expected on or off, not \"%1\"").arg(text), error);
    }
    case Kind::Number: {
        bool ok = false;
        const int number = value.toInt(&ok, 10);
        if (!ok)
            return fail(setting, tr("expected a whole number, not \"%1\"").arg(text), error);
        return numberFrom(setting, number, value, raw, error);
    }
    case Kind::Temperature: {
        bool ok = false;
        const double celsius = value.toDouble(&ok);
        if (!ok)
            return fail(setting, tr("expected a temperature in °C, not \"%1\"").arg(text), error);
        return temperatureFromNumber(setting, celsius, value, raw, error);
    }
    case Kind::Choice:
        return choiceFromText(setting, value, QLatin1Char('"') + text + QLatin1Char('"'), raw,
                              error);
    }
    return false;
}

QString temperatureText(quint16 raw)
{
    // In whole tenths: (raw - 2731) / 10 is the value the editors show, and the half tenth a
    // raw value carries above it is what the truncation of the way back drops again.
    const int tenths = int(raw) - 2731;
    const int magnitude = tenths < 0 ? -tenths : tenths;
    return (tenths < 0 ? QStringLiteral("-") : QString()) + QString::number(magnitude / 10) +
           QLatin1Char('.') + QString::number(magnitude % 10);
}

bool temperatureFromHundredths(qint64 hundredths, quint16 *raw)
{
    // (°C + 273.15) × 10 = (hundredths + 27315) / 10, truncated; exact in integers.
    const qint64 shifted = hundredths + 27315;
    if (shifted < 0)
        return false;
    const qint64 value = shifted / 10;
    if (value > 0xFFFF)
        return false;
    *raw = quint16(value);
    return true;
}

quint16 sensorValue(const BriscaDevice &d, const Setting &setting)
{
    quint16 value = 0;
    if (setting.table == Coils) {
        const bool coils[] = {d.noNcEnabled,   d.alarmTimerBased,       d.outputNormallyClosed,
                              d.transistorNpn, d.counterUnidirectional, d.app1Enabled,
                              d.app2Enabled,   d.app3Enabled,           d.coil8,
                              d.app1LimitFov,  d.frameAverage,          d.noNcOutputActive};
        if (setting.address >= 0 && setting.address < int(std::size(coils)))
            value = coils[setting.address] ? 1 : 0;
    } else {
        const quint16 holding[] = {d.slaveAddress,     d.serialSettings,   d.app1MaxThreshold,
                                   d.app1MinThreshold, d.app2MaxThreshold, d.app2MinThreshold,
                                   d.app3MaxThreshold, d.app3MinThreshold, d.alarmDuration,
                                   d.emissivity,       d.reticleSize,      d.movingAverageWindow,
                                   d.gridRoiSize,      d.temperatureChoice};
        if (setting.address >= 0 && setting.address < int(std::size(holding)))
            value = holding[setting.address];
    }
    return fieldOf(setting, value);
}

} // namespace BriscaConfig
