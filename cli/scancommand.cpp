#include "scancommand.h"

#include "connectionoptions.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace BriscaCli {

namespace {

QString kindName(ScanResult::Kind kind)
{
    return kind == ScanResult::BriscaSensor ? QStringLiteral("brisca") : QStringLiteral("other");
}

} // namespace

ScanCommand::ScanCommand(QObject *parent)
    : Command(parent)
{
    connect(&m_scanner, &BriscaScanner::found, this, &ScanCommand::found);
    connect(&m_scanner, &BriscaScanner::lineChanged, this, &ScanCommand::lineChanged);
    connect(&m_scanner, &BriscaScanner::finished, this, &ScanCommand::scanFinished);
}

QList<QCommandLineOption> ScanCommand::options() const
{
    return {
        QCommandLineOption(QStringLiteral("port"),
                           tr("Serial port of the RS485 converter, for instance /dev/ttyUSB0."),
                           QStringLiteral("PATH")),
        QCommandLineOption(QStringLiteral("baud"),
                           tr("Baud rates to try, separated by commas, or all (default all)."),
                           QStringLiteral("LIST"), QStringLiteral("all")),
        QCommandLineOption(QStringLiteral("parity"),
                           tr("Parities to try (none, even, odd), separated by commas, or all "
                              "(default all)."),
                           QStringLiteral("LIST"), QStringLiteral("all")),
        QCommandLineOption(QStringLiteral("from"), tr("First slave address (default 1)."),
                           QStringLiteral("N"), QStringLiteral("1")),
        QCommandLineOption(QStringLiteral("to"), tr("Last slave address (default 247)."),
                           QStringLiteral("N"), QStringLiteral("247")),
        QCommandLineOption(QStringLiteral("timeout"),
                           tr("Milliseconds to wait for each answer (default: from the baud "
                              "rate)."),
                           QStringLiteral("MS")),
        jsonOption(),
    };
}

int ScanCommand::configure(const QCommandLineParser &parser, QString *error)
{
    m_json = parser.isSet(jsonOption());
    ScanSettings s;
    if (!parsePort(parser, &s.portName, error) ||
        !parseBaudList(QStringLiteral("baud"), parser.value(QStringLiteral("baud")), &s.baudRates,
                       error) ||
        !parseParityList(QStringLiteral("parity"), parser.value(QStringLiteral("parity")),
                         &s.parities, error) ||
        !parseNumber(QStringLiteral("from"), parser.value(QStringLiteral("from")), 1, 247,
                     &s.firstAddress, error) ||
        !parseNumber(QStringLiteral("to"), parser.value(QStringLiteral("to")), 1, 247,
                     &s.lastAddress, error))
        return ExitUsage;
    if (s.firstAddress > s.lastAddress) {
        *error = tr("--from %1 is above --to %2").arg(s.firstAddress).arg(s.lastAddress);
        return ExitUsage;
    }
    if (parser.isSet(QStringLiteral("timeout")) &&
        !parseNumber(QStringLiteral("timeout"), parser.value(QStringLiteral("timeout")), 10, 60000,
                     &s.probeTimeoutMs, error))
        return ExitUsage;
    // After the factory settings, the first of each list is tried next.
    s.current = LineSetting{s.baudRates.constFirst(), s.parities.constFirst()};
    m_settings = s;
    return ExitSuccess;
}

void ScanCommand::start()
{
    // Someone at a terminal wants to know the scan is alive; a script reading standard
    // error does not.
    m_showProgress = ::isatty(STDERR_FILENO);
    m_scanner.start(m_settings);
}

void ScanCommand::interrupt()
{
    m_scanner.cancel();
}

void ScanCommand::lineChanged(const LineSetting &line)
{
    if (!m_showProgress)
        return;
    std::fprintf(stderr, "%s\n",
                 tr("scanning %1 baud, %2 parity, slaves %3 to %4 (at most %5 s left)")
                     .arg(line.baudRate)
                     .arg(parityName(line.parity))
                     .arg(m_settings.firstAddress)
                     .arg(m_settings.lastAddress)
                     .arg((m_scanner.msLeft() + 999) / 1000)
                     .toUtf8()
                     .constData());
}

void ScanCommand::found(const ScanResult &result)
{
    if (m_json)
        return;
    // Printed at once: a full scan takes minutes.
    const QString kind = result.kind == ScanResult::BriscaSensor
                             ? tr("Brisca sensor")
                             : tr("another Modbus device (%1)").arg(result.answer);
    printOut(tr("%1 baud, %2 parity, slave %3: %4\n")
                 .arg(result.line.baudRate)
                 .arg(parityName(result.line.parity))
                 .arg(result.address)
                 .arg(kind));
}

void ScanCommand::scanFinished(bool cancelled, const QString &error)
{
    const QVector<ScanResult> results = m_scanner.results();
    if (!error.isEmpty()) {
        const bool notOpened = error.startsWith(BriscaScanner::tr("Connect failed: "));
        fail(notOpened ? ExitPort : ExitNoAnswer,
             m_settings.portName + QLatin1String(": ") + error);
        return;
    }
    if (m_json) {
        QJsonArray array;
        for (const ScanResult &result : results) {
            array.append(QJsonObject{
                {QStringLiteral("baud"), result.line.baudRate},
                {QStringLiteral("parity"), parityName(result.line.parity)},
                {QStringLiteral("slave"), result.address},
                {QStringLiteral("kind"), kindName(result.kind)},
                {QStringLiteral("answer"), result.kind == ScanResult::BriscaSensor
                                               ? QJsonValue::Null
                                               : QJsonValue(result.answer)},
            });
        }
        printOut(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)));
    }
    if (cancelled) {
        finish(ExitInterrupted);
        return;
    }
    const bool sensorFound = std::any_of(results.cbegin(), results.cend(), [](const ScanResult &r) {
        return r.kind == ScanResult::BriscaSensor;
    });
    if (!sensorFound)
        printError(tr("no Brisca sensor answered on %1").arg(m_settings.portName));
    finish(sensorFound ? ExitSuccess : ExitNoAnswer);
}

} // namespace BriscaCli
