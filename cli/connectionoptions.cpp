#include "connectionoptions.h"
#include "translation_p.h"

#include "briscaregisters.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

namespace BriscaCli {

namespace {

// Below this QModbusClient refuses the timeout; above it a script is better off retrying.
constexpr int MinTimeoutMs = 10;
constexpr int MaxTimeoutMs = 60000;

QString sensorRates()
{
    QStringList rates;
    for (quint8 i = 0; Brisca::baudRateOfIndex(i) != 0; ++i)
        rates << QString::number(Brisca::baudRateOfIndex(i));
    return rates.join(QLatin1String(", "));
}

} // namespace

QList<QCommandLineOption> ConnectionOptions::options()
{
    return {
        QCommandLineOption(QStringLiteral("port"),
                           tr("Serial port of the RS485 converter, for instance /dev/ttyUSB0."),
                           QStringLiteral("PATH")),
        QCommandLineOption(QStringLiteral("baud"), tr("Baud rate of the bus (default 19200)."),
                           QStringLiteral("B"), QStringLiteral("19200")),
        QCommandLineOption(QStringLiteral("parity"),
                           tr("Parity of the bus: none, even or odd (default even)."),
                           QStringLiteral("P"), QStringLiteral("even")),
        QCommandLineOption(QStringLiteral("slave"),
                           tr("Slave address of the sensor, 1 to 247 (default 1)."),
                           QStringLiteral("N"), QStringLiteral("1")),
        QCommandLineOption(QStringLiteral("timeout"),
                           tr("Milliseconds to wait for each answer (default 3000)."),
                           QStringLiteral("MS"), QStringLiteral("3000")),
    };
}

bool ConnectionOptions::fromParser(const QCommandLineParser &parser, ConnectionOptions *result,
                                   QString *error)
{
    ConnectionOptions o;
    if (!parsePort(parser, &o.port, error))
        return false;
    if (!parseBaud(QStringLiteral("baud"), parser.value(QStringLiteral("baud")), &o.baud, error))
        return false;
    if (!parseParity(QStringLiteral("parity"), parser.value(QStringLiteral("parity")), &o.parity,
                     error))
        return false;
    if (!parseNumber(QStringLiteral("slave"), parser.value(QStringLiteral("slave")), 1, 247,
                     &o.slave, error))
        return false;
    if (!parseNumber(QStringLiteral("timeout"), parser.value(QStringLiteral("timeout")),
                     MinTimeoutMs, MaxTimeoutMs, &o.timeoutMs, error))
        return false;
    *result = o;
    return true;
}

QString parityName(QSerialPort::Parity parity)
{
    switch (parity) {
    case QSerialPort::NoParity:
        return QStringLiteral("none");
    case QSerialPort::EvenParity:
        return QStringLiteral("even");
    case QSerialPort::OddParity:
        return QStringLiteral("odd");
    default:
        return QStringLiteral("unknown");
    }
}

bool parsePort(const QCommandLineParser &parser, QString *port, QString *error)
{
    *port = parser.value(QStringLiteral("port"));
    if (port->isEmpty()) {
        *error = tr("--port is required");
        return false;
    }
    return true;
}

bool parseBaud(const QString &option, const QString &text, qint32 *baud, QString *error)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    // The sensor speaks only the rates of its table; any other one is a typing error.
    if (!ok || !Brisca::isSensorBaudRate(value)) {
        *error =
            tr("--%1: %2 is not a baud rate of the sensor (%3)").arg(option, text, sensorRates());
        return false;
    }
    *baud = qint32(value);
    return true;
}

bool parseParity(const QString &option, const QString &text, QSerialPort::Parity *parity,
                 QString *error)
{
    for (QSerialPort::Parity p :
         {QSerialPort::NoParity, QSerialPort::EvenParity, QSerialPort::OddParity}) {
        if (text.compare(parityName(p), Qt::CaseInsensitive) == 0) {
            *parity = p;
            return true;
        }
    }
    *error = tr("--%1: %2 is not a parity (none, even or odd)").arg(option, text);
    return false;
}

bool parseNumber(const QString &option, const QString &text, int low, int high, int *value,
                 QString *error)
{
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (!ok || number < low || number > high) {
        *error = tr("--%1: %2 is not a number from %3 to %4").arg(option, text).arg(low).arg(high);
        return false;
    }
    *value = number;
    return true;
}

bool parseBaudList(const QString &option, const QString &text, QVector<qint32> *bauds,
                   QString *error)
{
    QVector<qint32> result;
    if (text.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
        for (quint8 i = 0; Brisca::baudRateOfIndex(i) != 0; ++i)
            result << qint32(Brisca::baudRateOfIndex(i));
    } else {
        for (const QString &item : text.split(QLatin1Char(','))) {
            qint32 baud = 0;
            if (!parseBaud(option, item.trimmed(), &baud, error))
                return false;
            if (!result.contains(baud))
                result << baud;
        }
    }
    *bauds = result;
    return true;
}

bool parseParityList(const QString &option, const QString &text,
                     QVector<QSerialPort::Parity> *parities, QString *error)
{
    QVector<QSerialPort::Parity> result;
    if (text.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
        result = {QSerialPort::NoParity, QSerialPort::EvenParity, QSerialPort::OddParity};
    } else {
        for (const QString &item : text.split(QLatin1Char(','))) {
            QSerialPort::Parity parity = QSerialPort::NoParity;
            if (!parseParity(option, item.trimmed(), &parity, error))
                return false;
            if (!result.contains(parity))
                result << parity;
        }
    }
    *parities = result;
    return true;
}

} // namespace BriscaCli
