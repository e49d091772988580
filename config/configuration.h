#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>

class BriscaDevice;

namespace BriscaConfig {

// A sensor's settings as a file: JSON that people can read and edit, with the settings by
// name in the units the window shows.
//
//     {
//         "format": "velmora-brisca-configuration",
//         "version": 1,
//         "saved": "2025-03-01T14:05:09+01:00",
//         "sensor": {"port": "/dev/ttyUSB0", "slave_address": 1},
//         "settings": {"no_nc_output.enabled": true, ..., "app1.upper_threshold": 80.0, ...},
//         "bus": {"slave_address": 1, "baud_rate": 19200, "parity": "even"}
//     }
//
// "saved", "sensor" and "bus" may be left out, and so may any setting: a file holds the
// settings it names.
class Configuration
{
public:
    static const char FormatName[];
    static constexpr int FormatVersion = 1;

    // Every setting the device's caches hold, stamped with the time and where it came from.
    static Configuration fromSensor(const BriscaDevice &device, const QString &port);

    // Checks everything: on the first fault returns false and says what and where, naming
    // the setting when a setting is at fault. *result is untouched then.
    static bool fromJson(const QByteArray &text, Configuration *result, QString *error);
    // Indented, in the order of settings(); temperatures keep their decimal.
    QByteArray toJson() const;

    // Raw field values by index into settings().
    const QMap<int, quint16> &values() const { return m_values; }
    void setValue(int setting, quint16 raw) { m_values.insert(setting, raw); }
    bool hasBusSettings() const;

    QDateTime saved() const { return m_saved; }
    QString port() const { return m_port; }
    int slaveAddress() const { return m_slaveAddress; }

private:
    QMap<int, quint16> m_values;
    QDateTime m_saved;
    QString m_port;
    int m_slaveAddress = 0; // 0: not known
};

} // namespace BriscaConfig
