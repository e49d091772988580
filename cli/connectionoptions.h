#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QSerialPort>
#include <QString>
#include <QVector>

class QCommandLineParser;

namespace BriscaCli {

// The line and the slave a command talks to, as the connection page of the window sets them.
struct ConnectionOptions
{
    QString port;
    qint32 baud = 19200;
    QSerialPort::Parity parity = QSerialPort::EvenParity;
    int slave = 1;
    int timeoutMs = 3000;

    // --port, --baud, --parity, --slave and --timeout.
    static QList<QCommandLineOption> options();
    // Fills `result` from the parsed options; on bad input returns false with *error set.
    static bool fromParser(const QCommandLineParser &parser, ConnectionOptions *result,
                           QString *error);
};

// "none", "even" or "odd"; the names the options take.
QString parityName(QSerialPort::Parity parity);

// Readers of single option values. Each returns false with *error naming the option.
bool parsePort(const QCommandLineParser &parser, QString *port, QString *error);
bool parseBaud(const QString &option, const QString &text, qint32 *baud, QString *error);
bool parseParity(const QString &option, const QString &text, QSerialPort::Parity *parity,
                 QString *error);
bool parseNumber(const QString &option, const QString &text, int low, int high, int *value,
                 QString *error);
// Comma-separated lists, or "all" for every rate the sensor speaks / every parity.
bool parseBaudList(const QString &option, const QString &text, QVector<qint32> *bauds,
                   QString *error);
bool parseParityList(const QString &option, const QString &text,
                     QVector<QSerialPort::Parity> *parities, QString *error);

} // namespace BriscaCli
