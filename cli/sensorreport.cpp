#include "sensorreport.h"
#include "translation_p.h"

#include "briscadevice.h"
#include "briscaregisters.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QPair>
#include <QVector>

#include <algorithm>
#include <cmath>

namespace BriscaCli::SensorReport {

namespace {

using Lines = QVector<QPair<QString, QString>>;

QString aligned(const Lines &lines)
{
    int width = 0;
    for (const auto &line : lines)
        width = std::max(width, int(line.first.size()));
    QString text;
    for (const auto &line : lines)
        text += line.first.leftJustified(width + 2) + line.second + QLatin1Char('\n');
    return text;
}

// Labels show one decimal, as the window's do. A threshold set to 0 °C reads back as
// -0.05 °C; "-0.0" would suggest a frost the sensor never reported.
QString celsiusText(quint16 raw)
{
    QString number = QString::number(double(Brisca::kelvinTenthsToCelsius(raw)), 'f', 1);
    if (number == QLatin1String("-0.0"))
        number.remove(0, 1);
    return number + QStringLiteral(" °C");
}

// Tenths of a kelvin make exactly two decimals in °C; the single-precision conversion only
// adds noise below them.
double celsiusValue(quint16 raw)
{
    return std::round(double(Brisca::kelvinTenthsToCelsius(raw)) * 100.0) / 100.0;
}

QJsonObject temperatureJson(quint16 raw)
{
    return {{QStringLiteral("raw"), raw}, {QStringLiteral("celsius"), celsiusValue(raw)}};
}

QJsonObject positionJson(quint16 raw)
{
    return {{QStringLiteral("raw"), raw},
            {QStringLiteral("first"), Brisca::positionFirst(raw)},
            {QStringLiteral("second"), Brisca::positionSecond(raw)}};
}

QString positionText(quint16 raw)
{
    return QStringLiteral("(%1,%2)")
        .arg(Brisca::positionFirst(raw))
        .arg(Brisca::positionSecond(raw));
}

QString onOff(bool on)
{
    return on ? tr("on") : tr("off");
}

QString enabledText(bool enabled)
{
    return enabled ? tr("enabled") : tr("disabled");
}

QJsonValue parityJson(quint16 serialSettings)
{
    switch (Brisca::parityCodeOfSettings(serialSettings)) {
    case Brisca::ParityCodeNone:
        return QStringLiteral("none");
    case Brisca::ParityCodeOdd:
        return QStringLiteral("odd");
    case Brisca::ParityCodeEven:
        return QStringLiteral("even");
    default:
        return QJsonValue::Null;
    }
}

QJsonValue baudJson(quint16 serialSettings)
{
    const quint32 baud = Brisca::baudRateOfIndex(Brisca::baudIndexOfSettings(serialSettings));
    return baud ? QJsonValue(qint64(baud)) : QJsonValue::Null;
}

QJsonValue temperatureChoiceJson(quint8 choice)
{
    switch (choice) {
    case Brisca::TemperatureHot:
        return QStringLiteral("hot");
    case Brisca::TemperatureCold:
        return QStringLiteral("cold");
    case Brisca::TemperatureHotAndCold:
        return QStringLiteral("hot and cold");
    default:
        return QJsonValue::Null;
    }
}

QString orUnknown(const QJsonValue &value, quint16 raw)
{
    if (value.isNull())
        return tr("unknown (raw %1)").arg(raw);
    return value.isString() ? value.toString() : QString::number(qint64(value.toDouble()));
}

QString app(int number)
{
    return tr("Application %1").arg(number);
}

} // namespace

QJsonObject settingsJson(const BriscaDevice &d)
{
    const quint8 grid = d.gridRoiSize;
    return {
        {QStringLiteral("slave_address"), d.slaveAddress},
        {QStringLiteral("serial_settings"),
         QJsonObject{{QStringLiteral("raw"), d.serialSettings},
                     {QStringLiteral("baud"), baudJson(d.serialSettings)},
                     {QStringLiteral("parity"), parityJson(d.serialSettings)}}},
        {QStringLiteral("no_nc_output"),
         QJsonObject{{QStringLiteral("enabled"), d.noNcEnabled},
                     {QStringLiteral("normally_closed"), d.outputNormallyClosed},
                     {QStringLiteral("npn"), d.transistorNpn},
                     {QStringLiteral("timer_based"), d.alarmTimerBased},
                     {QStringLiteral("duration_ms"), d.alarmDuration},
                     {QStringLiteral("active"), d.noNcOutputActive}}},
        {QStringLiteral("temperature_choice"),
         QJsonObject{{QStringLiteral("raw"), d.temperatureChoice},
                     {QStringLiteral("name"), temperatureChoiceJson(d.temperatureChoice)}}},
        {QStringLiteral("emissivity_percent"), d.emissivity},
        {QStringLiteral("frame_average"), d.frameAverage},
        {QStringLiteral("app1"),
         QJsonObject{{QStringLiteral("enabled"), d.app1Enabled},
                     {QStringLiteral("upper_threshold"), temperatureJson(d.app1MaxThreshold)},
                     {QStringLiteral("lower_threshold"), temperatureJson(d.app1MinThreshold)},
                     {QStringLiteral("limit_field_of_view"), d.app1LimitFov}}},
        {QStringLiteral("app2"),
         QJsonObject{{QStringLiteral("enabled"), d.app2Enabled},
                     {QStringLiteral("upper_threshold"), temperatureJson(d.app2MaxThreshold)},
                     {QStringLiteral("lower_threshold"), temperatureJson(d.app2MinThreshold)},
                     {QStringLiteral("centered_area_px"), d.reticleSize},
                     {QStringLiteral("moving_average_frames"), d.movingAverageWindow}}},
        {QStringLiteral("app3"),
         QJsonObject{{QStringLiteral("enabled"), d.app3Enabled},
                     {QStringLiteral("upper_threshold"), temperatureJson(d.app3MaxThreshold)},
                     {QStringLiteral("lower_threshold"), temperatureJson(d.app3MinThreshold)},
                     {QStringLiteral("grid_roi"),
                      QJsonObject{{QStringLiteral("raw"), grid},
                                  {QStringLiteral("side_px"), Brisca::roiSideFromGridCode(grid)},
                                  {QStringLiteral("regions"), Brisca::roiCountFromGridCode(grid)}}},
                     {QStringLiteral("counter_unidirectional"), d.counterUnidirectional}}},
    };
}

QString settingsText(const BriscaDevice &d)
{
    const quint8 side = Brisca::roiSideFromGridCode(d.gridRoiSize);
    const QString grid = Brisca::roiCountFromGridCode(d.gridRoiSize) > 0
                             ? tr("%1 x %1 px (%2 regions)")
                                   .arg(side)
                                   .arg(Brisca::roiCountFromGridCode(d.gridRoiSize))
                             : tr("unknown (raw %1)").arg(d.gridRoiSize);
    const Lines lines{
        {tr("Slave address"), QString::number(d.slaveAddress)},
        {tr("Baudrate"), orUnknown(baudJson(d.serialSettings), d.serialSettings)},
        {tr("Parity"), orUnknown(parityJson(d.serialSettings), d.serialSettings)},
        {tr("Electrical NO/NC output"), enabledText(d.noNcEnabled)},
        {tr("NO/NC select"), d.outputNormallyClosed ? tr("N.C.") : tr("N.O.")},
        {tr("NPN/PNP select"), d.transistorNpn ? tr("NPN") : tr("PNP")},
        {tr("NO/NC reset"), d.alarmTimerBased ? tr("timer based") : tr("action based")},
        {tr("NO/NC duration"), tr("%1 ms").arg(d.alarmDuration)},
        {tr("NO/NC output active"), d.noNcOutputActive ? tr("yes") : tr("no")},
        {tr("Temperature choice"),
         orUnknown(temperatureChoiceJson(d.temperatureChoice), d.temperatureChoice)},
        {tr("Emissivity"), tr("%1 %").arg(d.emissivity)},
        {tr("4 frame moving average"), onOff(d.frameAverage)},
        {app(1), enabledText(d.app1Enabled)},
        {app(1) + tr(" upper threshold"), celsiusText(d.app1MaxThreshold)},
        {app(1) + tr(" lower threshold"), celsiusText(d.app1MinThreshold)},
        {app(1) + tr(" limit field of view"), onOff(d.app1LimitFov)},
        {app(2), enabledText(d.app2Enabled)},
        {app(2) + tr(" upper threshold"), celsiusText(d.app2MaxThreshold)},
        {app(2) + tr(" lower threshold"), celsiusText(d.app2MinThreshold)},
        {app(2) + tr(" centered area size"), tr("%1 x %1 px").arg(d.reticleSize)},
        {app(2) + tr(" moving average window"), tr("%1 frames").arg(d.movingAverageWindow)},
        {app(3), enabledText(d.app3Enabled)},
        {app(3) + tr(" upper threshold"), celsiusText(d.app3MaxThreshold)},
        {app(3) + tr(" lower threshold"), celsiusText(d.app3MinThreshold)},
        {app(3) + tr(" grid ROI size"), grid},
        {app(3) + tr(" counter type"),
         d.counterUnidirectional ? tr("unidirectional") : tr("bidirectional")},
    };
    return aligned(lines);
}

QJsonObject measurementsJson(const BriscaDevice &d)
{
    QJsonArray regions;
    for (quint16 raw : d.roiTemperatures)
        regions.append(temperatureJson(raw));
    QJsonObject breach{{QStringLiteral("raw"), d.app3HighestBreachTemp},
                       {QStringLiteral("celsius"), QJsonValue::Null},
                       {QStringLiteral("area"), d.app3HighestBreachArea}};
    if (Brisca::hasBreachTemperature(d.app3HighestBreachTemp))
        breach.insert(QStringLiteral("celsius"), celsiusValue(d.app3HighestBreachTemp));

    QJsonObject min = temperatureJson(d.app1MinTemp);
    min.insert(QStringLiteral("position"), positionJson(d.app1MinPosition));
    QJsonObject max = temperatureJson(d.app1MaxTemp);
    max.insert(QStringLiteral("position"), positionJson(d.app1MaxPosition));
    return {
        {QStringLiteral("app1"),
         QJsonObject{{QStringLiteral("enabled"), d.app1Enabled},
                     {QStringLiteral("alarm"), d.app1Alarm},
                     {QStringLiteral("min"), min},
                     {QStringLiteral("max"), max},
                     {QStringLiteral("average"), temperatureJson(d.app1AvgTemp)}}},
        {QStringLiteral("app2"),
         QJsonObject{{QStringLiteral("enabled"), d.app2Enabled},
                     {QStringLiteral("alarm"), d.app2Alarm},
                     {QStringLiteral("average"), temperatureJson(d.app2AvgTemp)}}},
        {QStringLiteral("app3"), QJsonObject{{QStringLiteral("enabled"), d.app3Enabled},
                                             {QStringLiteral("alarm"), d.app3Alarm},
                                             {QStringLiteral("counter"), d.app3Counter},
                                             {QStringLiteral("highest_breach"), breach},
                                             {QStringLiteral("region_temperatures"), regions}}},
    };
}

QString measurementsText(const BriscaDevice &d)
{
    const QString breach = Brisca::hasBreachTemperature(d.app3HighestBreachTemp)
                               ? tr("%1 in area A%2")
                                     .arg(celsiusText(d.app3HighestBreachTemp))
                                     .arg(d.app3HighestBreachArea)
                               : tr("N/A");
    QString regions = tr("none");
    if (!d.roiTemperatures.isEmpty()) {
        const auto [low, high] =
            std::minmax_element(d.roiTemperatures.cbegin(), d.roiTemperatures.cend());
        regions = tr("%1 values, %2 to %3")
                      .arg(d.roiTemperatures.size())
                      .arg(celsiusText(*low), celsiusText(*high));
    }
    const auto alarm = [](bool on) {
        return on ? tr("ALARM") : tr("no alarm");
    };
    const Lines lines{
        {app(1), enabledText(d.app1Enabled)},
        {app(1) + tr(" alarm"), alarm(d.app1Alarm)},
        {app(1) + tr(" minimum"),
         tr("%1 at %2").arg(celsiusText(d.app1MinTemp), positionText(d.app1MinPosition))},
        {app(1) + tr(" maximum"),
         tr("%1 at %2").arg(celsiusText(d.app1MaxTemp), positionText(d.app1MaxPosition))},
        {app(1) + tr(" average"), celsiusText(d.app1AvgTemp)},
        {app(2), enabledText(d.app2Enabled)},
        {app(2) + tr(" alarm"), alarm(d.app2Alarm)},
        {app(2) + tr(" average"), celsiusText(d.app2AvgTemp)},
        {app(3), enabledText(d.app3Enabled)},
        {app(3) + tr(" alarm"), alarm(d.app3Alarm)},
        {app(3) + tr(" counter"), QString::number(d.app3Counter)},
        {app(3) + tr(" highest breach"), breach},
        {app(3) + tr(" region temperatures"), regions},
    };
    return aligned(lines);
}

} // namespace BriscaCli::SensorReport
