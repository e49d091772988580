#include "configuration.h"
#include "translation_p.h"

#include "briscadevice.h"
#include "settingcatalog.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace BriscaConfig {

const char Configuration::FormatName[] = "velmora-brisca-configuration";

namespace {

const QString SettingsKey = QStringLiteral("settings");
const QString BusKey = QStringLiteral("bus");

// One JSON token: strings escaped as JSON escapes them.
QByteArray token(const QJsonValue &value)
{
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

QByteArray valueToken(const Setting &setting, quint16 raw)
{
    // QJsonDocument would write 80.0 as 80; the editors show the decimal.
    if (setting.kind == Kind::Temperature)
        return temperatureText(raw).toLatin1();
    return token(valueJson(setting, raw));
}

void appendObject(QByteArray &out, const QVector<QPair<QByteArray, QByteArray>> &members, int depth)
{
    const QByteArray inner(4 * (depth + 1), ' ');
    out += "{\n";
    for (int i = 0; i < members.size(); ++i) {
        out += inner + members.at(i).first + ": " + members.at(i).second;
        out += i + 1 < members.size() ? ",\n" : "\n";
    }
    out += QByteArray(4 * depth, ' ') + '}';
}

// "line 3, column 14" for an offset into the text.
QString where(const QByteArray &text, int offset)
{
    const QByteArray before = text.left(offset);
    const int line = before.count('\n') + 1;
    const int column = offset - (before.lastIndexOf('\n') + 1) + 1;
    return tr("line %1, column %2").arg(line).arg(column);
}

bool checkSettings(const QJsonObject &object, bool bus, QMap<int, quint16> *values, QString *error)
{
    const QVector<Setting> &all = settings();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const int index = indexOf(it.key());
        if (index < 0 || all.at(index).bus != bus) {
            QString why =
                tr("unknown setting \"%1\" in \"%2\"").arg(it.key(), bus ? BusKey : SettingsKey);
            if (index >= 0)
                why += tr(" (it belongs in \"%1\")").arg(bus ? SettingsKey : BusKey);
            *error = why;
            return false;
        }
        quint16 raw = 0;
        if (!valueFromJson(all.at(index), it.value(), &raw, error))
            return false;
        values->insert(index, raw);
    }
    return true;
}

} // namespace

Configuration Configuration::fromSensor(const BriscaDevice &device, const QString &port)
{
    Configuration c;
    const QVector<Setting> &all = settings();
    for (int i = 0; i < all.size(); ++i)
        c.m_values.insert(i, sensorValue(device, all.at(i)));
    c.m_saved = QDateTime::currentDateTime();
    c.m_saved.setOffsetFromUtc(c.m_saved.offsetFromUtc());
    c.m_port = port;
    c.m_slaveAddress = device.slaveAddress;
    return c;
}

bool Configuration::hasBusSettings() const
{
    for (auto it = m_values.constBegin(); it != m_values.constEnd(); ++it) {
        if (settings().at(it.key()).bus)
            return true;
    }
    return false;
}

QByteArray Configuration::toJson() const
{
    QVector<QPair<QByteArray, QByteArray>> top{{"\"format\"", token(QLatin1String(FormatName))},
                                               {"\"version\"", QByteArray::number(FormatVersion)}};
    if (m_saved.isValid())
        top.append({"\"saved\"", token(m_saved.toString(Qt::ISODate))});
    if (!m_port.isEmpty() || m_slaveAddress > 0) {
        QByteArray sensor;
        QVector<QPair<QByteArray, QByteArray>> members;
        if (!m_port.isEmpty())
            members.append({"\"port\"", token(m_port)});
        if (m_slaveAddress > 0)
            members.append({"\"slave_address\"", QByteArray::number(m_slaveAddress)});
        appendObject(sensor, members, 1);
        top.append({"\"sensor\"", sensor});
    }
    QVector<QPair<QByteArray, QByteArray>> operatorSettings;
    QVector<QPair<QByteArray, QByteArray>> busSettings;
    for (auto it = m_values.constBegin(); it != m_values.constEnd(); ++it) {
        const Setting &setting = settings().at(it.key());
        (setting.bus ? busSettings : operatorSettings)
            .append({token(setting.name), valueToken(setting, it.value())});
    }
    QByteArray text;
    appendObject(text, operatorSettings, 1);
    top.append({token(SettingsKey), text});
    if (!busSettings.isEmpty()) {
        text.clear();
        appendObject(text, busSettings, 1);
        top.append({token(BusKey), text});
    }
    QByteArray out;
    appendObject(out, top, 0);
    return out + '\n';
}

bool Configuration::fromJson(const QByteArray &text, Configuration *result, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error =
            tr("not JSON: %1 at %2").arg(parseError.errorString(), where(text, parseError.offset));
        return false;
    }
    const QJsonObject top = document.object();
    const QJsonValue format = top.value(QStringLiteral("format"));
    if (!document.isObject() || format.isUndefined()) {
        *error = tr("not a sensor configuration: it names no \"format\"");
        return false;
    }
    if (format.toString() != QLatin1String(FormatName)) {
        *error = tr("another format: %1 (expected \"%2\")")
                     .arg(QString::fromUtf8(token(format)), QLatin1String(FormatName));
        return false;
    }
    const QJsonValue version = top.value(QStringLiteral("version"));
    if (!version.isDouble() || version.toDouble() != FormatVersion) {
        *error = tr("version %1 of the format is not known (this program reads version %2)")
                     .arg(QString::fromUtf8(token(version)))
                     .arg(FormatVersion);
        return false;
    }

    Configuration c;
    for (auto it = top.constBegin(); it != top.constEnd(); ++it) {
        const QString key = it.key();
        if (key == QLatin1String("format") || key == QLatin1String("version"))
            continue;
        if (key == QLatin1String("saved")) {
            c.m_saved = QDateTime::fromString(it.value().toString(), Qt::ISODate);
            if (!c.m_saved.isValid()) {
                *error = tr("saved: expected a date and time, not %1")
                             .arg(QString::fromUtf8(token(it.value())));
                return false;
            }
        } else if (key == QLatin1String("sensor")) {
            const QJsonObject sensor = it.value().toObject();
            const QJsonValue port = sensor.value(QStringLiteral("port"));
            const QJsonValue slave = sensor.value(QStringLiteral("slave_address"));
            // Checked as a double first: converting one out of an int's range is undefined.
            const double address = slave.isUndefined() ? 0.0 : slave.toDouble(-1.0);
            if (!it.value().isObject() || !(port.isUndefined() || port.isString()) ||
                !(address >= 0 && address <= 247 && address == int(address))) {
                *error = tr("sensor: expected an object with a \"port\" text and a "
                            "\"slave_address\" from 1 to 247");
                return false;
            }
            c.m_port = port.toString();
            c.m_slaveAddress = int(address);
        } else if (key == SettingsKey || key == BusKey) {
            if (!it.value().isObject()) {
                *error = tr("%1: expected an object of settings by name").arg(key);
                return false;
            }
            if (!checkSettings(it.value().toObject(), key == BusKey, &c.m_values, error))
                return false;
        } else {
            *error = tr("unknown key \"%1\"").arg(key);
            return false;
        }
    }
    *result = c;
    return true;
}

} // namespace BriscaConfig
