#include "portscommand.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QStringList>

namespace BriscaCli {

QList<QCommandLineOption> PortsCommand::options() const
{
    return {jsonOption()};
}

int PortsCommand::configure(const QCommandLineParser &parser, QString *)
{
    m_json = parser.isSet(jsonOption());
    return ExitSuccess;
}

void PortsCommand::start()
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    if (m_json) {
        QJsonArray array;
        for (const QSerialPortInfo &port : ports) {
            array.append(QJsonObject{
                {QStringLiteral("name"), port.portName()},
                {QStringLiteral("path"), port.systemLocation()},
                {QStringLiteral("description"), port.description()},
                {QStringLiteral("manufacturer"), port.manufacturer()},
                {QStringLiteral("serial_number"), port.serialNumber()},
                {QStringLiteral("vendor_id"), port.hasVendorIdentifier()
                                                  ? QJsonValue(port.vendorIdentifier())
                                                  : QJsonValue::Null},
                {QStringLiteral("product_id"), port.hasProductIdentifier()
                                                   ? QJsonValue(port.productIdentifier())
                                                   : QJsonValue::Null},
            });
        }
        printOut(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)));
    } else {
        for (const QSerialPortInfo &port : ports) {
            // "/dev/ttyUSB0  FT232R USB UART, FTDI, serial A50285BI"
            QStringList about;
            for (const QString &part : {port.description(), port.manufacturer()}) {
                if (!part.isEmpty() && !about.contains(part))
                    about << part;
            }
            if (!port.serialNumber().isEmpty())
                about << tr("serial %1").arg(port.serialNumber());
            QString line = port.systemLocation();
            if (!about.isEmpty())
                line += QLatin1String("  ") + about.join(QLatin1String(", "));
            printOut(line + QLatin1Char('\n'));
        }
    }
    finish(ExitSuccess);
}

} // namespace BriscaCli
