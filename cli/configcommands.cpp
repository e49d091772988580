#include "configcommands.h"
#include "translation_p.h"

#include "briscadevice.h"
#include "sensorconfigurator.h"
#include "settingcatalog.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>

#include <algorithm>

namespace BriscaCli {

using namespace BriscaConfig;
using Outcome = SensorConfigurator::Outcome;

namespace {

// Columns padded to their widest cell; the last one runs free.
QString table(const QVector<QStringList> &rows)
{
    QVector<int> widths;
    for (const QStringList &row : rows) {
        for (int c = 0; c + 1 < row.size(); ++c) {
            if (widths.size() <= c)
                widths.append(0);
            widths[c] = std::max(widths.at(c), int(row.at(c).size()));
        }
    }
    QString text;
    for (const QStringList &row : rows) {
        QString line;
        for (int c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row.at(c).leftJustified(widths.at(c) + 2) : row.at(c);
        text += line.trimmed() + QLatin1Char('\n');
    }
    return text;
}

QString nameOf(const SensorConfigurator::Item &item)
{
    return settings().at(item.setting).name;
}

QString text(const SensorConfigurator::Item &item, quint16 raw)
{
    return valueText(settings().at(item.setting), raw);
}

QString registerText(const Setting &setting)
{
    QString where = setting.table == QModbusDataUnit::Coils
                        ? tr("coil %1").arg(setting.address)
                        : tr("holding register %1").arg(setting.address);
    if (setting.mask != 0xFFFF) {
        int bits = 0;
        for (quint16 m = setting.mask; m; m >>= 1)
            ++bits;
        where += tr(", bits %1-%2").arg(setting.shift).arg(setting.shift + bits - 1);
    }
    return where;
}

QString outcomeText(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Unchanged:
        return tr("unchanged");
    case Outcome::Verified:
        return tr("written and verified");
    case Outcome::Failed:
        return tr("failed");
    case Outcome::NotWritten:
        return tr("not written");
    }
    return QString();
}

QString resultText(const SensorConfigurator &configurator)
{
    QVector<QStringList> rows{{tr("SETTING"), tr("RESULT"), tr("VALUE")}};
    int counts[4] = {};
    for (const SensorConfigurator::Item &item : configurator.items()) {
        ++counts[int(item.outcome)];
        QString value = text(item, item.wanted);
        switch (item.outcome) {
        case Outcome::Unchanged:
            break;
        case Outcome::Verified:
            value += tr(" (was %1)").arg(text(item, item.before));
            if (!item.detail.isEmpty())
                value += QLatin1String(": ") + item.detail;
            break;
        case Outcome::Failed:
        case Outcome::NotWritten:
            value += tr(" (sensor: %1): %2")
                         .arg(text(item, item.readBack ? item.after : item.before), item.detail);
            break;
        }
        rows.append({nameOf(item), outcomeText(item.outcome), value});
    }
    QString out = table(rows);
    out += tr("%1 written and verified, %2 unchanged, %3 failed, %4 not written.\n")
               .arg(counts[int(Outcome::Verified)])
               .arg(counts[int(Outcome::Unchanged)])
               .arg(counts[int(Outcome::Failed)])
               .arg(counts[int(Outcome::NotWritten)]);
    if (configurator.stoppedAt() >= 0) {
        const QStringList before = configurator.writtenBeforeFailure();
        out += tr("Stopped at %1; written before it: %2.\n")
                   .arg(settings().at(configurator.stoppedAt()).name,
                        before.isEmpty() ? tr("nothing") : before.join(QLatin1String(", ")));
    }
    return out;
}

} // namespace

// --- ConfigCommand -------------------------------------------------------------------

QList<QCommandLineOption> ConfigCommand::options() const
{
    return ConnectionOptions::options();
}

int ConfigCommand::readFile(const QString &path, Configuration *configuration, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = tr("cannot read %1: %2").arg(path, file.errorString());
        return ExitUsage;
    }
    QString why;
    if (!Configuration::fromJson(file.readAll(), configuration, &why)) {
        *error = tr("%1: %2; nothing was sent to the sensor").arg(path, why);
        return ExitUsage;
    }
    return ExitSuccess;
}

void ConfigCommand::apply(const Configuration &configuration, bool includeBus)
{
    // Each write reports its own refusal; the result is told once it is all over.
    ignoreStatusTexts();
    m_configurator = new SensorConfigurator(device(), this);
    connect(m_configurator, &SensorConfigurator::finished, this, &ConfigCommand::applied);
    m_configurator->apply(configuration, includeBus);
}

void ConfigCommand::applied()
{
    // Also after Ctrl+C, which closed the port under it: what was written is worth knowing.
    printOut(resultText(*m_configurator));
    if (isFinished())
        return;
    if (m_configurator->succeeded()) {
        end(ExitSuccess);
        return;
    }
    const auto &items = m_configurator->items();
    const int failed = int(std::count_if(items.cbegin(), items.cend(), [](const auto &item) {
        return item.outcome == Outcome::Failed;
    }));
    endWithError(ExitNoAnswer, failed == 1 ? tr("1 setting failed to verify")
                                           : tr("%1 settings failed to verify").arg(failed));
}

// --- backup --------------------------------------------------------------------------

QList<QCommandLineOption> BackupCommand::options() const
{
    return ConfigCommand::options()
           << QCommandLineOption(QStringLiteral("output"),
                                 tr("File to write the configuration to; - for standard output."),
                                 QStringLiteral("FILE"));
}

int BackupCommand::configure(const QCommandLineParser &parser, QString *error)
{
    const int status = ConfigCommand::configure(parser, error);
    if (status != ExitSuccess)
        return status;
    m_output = parser.value(QStringLiteral("output"));
    if (m_output.isEmpty()) {
        *error = tr("--output is required");
        return ExitUsage;
    }
    return ExitSuccess;
}

void BackupCommand::sensorReady()
{
    const QByteArray json = Configuration::fromSensor(*device(), connection().port).toJson();
    if (m_output == QLatin1String("-")) {
        printOut(QString::fromUtf8(json));
        end(ExitSuccess);
        return;
    }
    QSaveFile file(m_output);
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit()) {
        endWithError(ExitUsage, tr("cannot write %1: %2").arg(m_output, file.errorString()));
        return;
    }
    printOut(tr("Saved the settings of slave %1 on %2 to %3.\n")
                 .arg(device()->slaveAddress)
                 .arg(connection().port, m_output));
    end(ExitSuccess);
}

// --- diff ----------------------------------------------------------------------------

int DiffCommand::configure(const QCommandLineParser &parser, QString *error)
{
    const int status = ConfigCommand::configure(parser, error);
    if (status != ExitSuccess)
        return status;
    if (parser.positionalArguments().size() != 1) {
        *error = tr("give one configuration file; run 'brisca diff --help' for its options");
        return ExitUsage;
    }
    m_path = parser.positionalArguments().constFirst();
    return readFile(m_path, &m_configuration, error);
}

void DiffCommand::sensorReady()
{
    QVector<QStringList> rows{{tr("SETTING"), tr("SENSOR"), tr("FILE")}};
    for (const auto &item : SensorConfigurator::compare(*device(), m_configuration)) {
        if (item.differs())
            rows.append({nameOf(item), text(item, item.before), text(item, item.wanted)});
    }
    if (rows.size() == 1)
        printOut(tr("The sensor holds every setting of %1.\n").arg(m_path));
    else
        printOut(table(rows));
    end(ExitSuccess);
}

// --- restore -------------------------------------------------------------------------

QList<QCommandLineOption> RestoreCommand::options() const
{
    return ConfigCommand::options()
           << QCommandLineOption(QStringLiteral("dry-run"),
                                 tr("Show what would be written, and write nothing."))
           << QCommandLineOption(
                  QStringLiteral("bus"),
                  tr("Also write the file's slave address, baud rate and parity, last, and "
                     "verify them at the new address and line settings."));
}

int RestoreCommand::configure(const QCommandLineParser &parser, QString *error)
{
    const int status = ConfigCommand::configure(parser, error);
    if (status != ExitSuccess)
        return status;
    if (parser.positionalArguments().size() != 1) {
        *error = tr("give one configuration file; run 'brisca restore --help' for its options");
        return ExitUsage;
    }
    m_dryRun = parser.isSet(QStringLiteral("dry-run"));
    m_bus = parser.isSet(QStringLiteral("bus"));
    return readFile(parser.positionalArguments().constFirst(), &m_configuration, error);
}

void RestoreCommand::sensorReady()
{
    if (!m_dryRun) {
        apply(m_configuration, m_bus);
        return;
    }
    QVector<QStringList> rows{{tr("SETTING"), tr("ACTION"), tr("SENSOR"), tr("FILE")}};
    int writes = 0;
    for (const auto &item : SensorConfigurator::compare(*device(), m_configuration)) {
        if (!item.differs())
            continue;
        const bool written = m_bus || !settings().at(item.setting).bus;
        writes += written ? 1 : 0;
        rows.append({nameOf(item), written ? tr("would write") : tr("not written without --bus"),
                     text(item, item.before), text(item, item.wanted)});
    }
    printOut(table(rows) + tr("Dry run: %1 to write; nothing was sent.\n")
                               .arg(writes == 1 ? tr("1 setting") : tr("%1 settings").arg(writes)));
    end(ExitSuccess);
}

// --- set -----------------------------------------------------------------------------

QList<QCommandLineOption> SetCommand::options() const
{
    return ConfigCommand::options() << QCommandLineOption(
               QStringLiteral("list"),
               tr("List the names of the settings with their ranges and registers."));
}

int SetCommand::configure(const QCommandLineParser &parser, QString *error)
{
    m_list = parser.isSet(QStringLiteral("list"));
    if (m_list)
        return ExitSuccess;
    const int status = ConfigCommand::configure(parser, error);
    if (status != ExitSuccess)
        return status;
    if (parser.positionalArguments().isEmpty()) {
        *error = tr("give at least one NAME=VALUE; 'brisca set --list' lists the names");
        return ExitUsage;
    }
    for (const QString &argument : parser.positionalArguments()) {
        const int equals = argument.indexOf(QLatin1Char('='));
        const QString name = argument.left(equals);
        const int index = equals > 0 ? indexOf(name) : -1;
        if (equals <= 0) {
            *error = tr("%1: expected NAME=VALUE").arg(argument);
            return ExitUsage;
        }
        if (index < 0) {
            *error = tr("unknown setting \"%1\"; 'brisca set --list' lists the names").arg(name);
            return ExitUsage;
        }
        if (m_configuration.values().contains(index)) {
            *error = tr("%1 is given twice").arg(name);
            return ExitUsage;
        }
        quint16 raw = 0;
        if (!valueFromText(settings().at(index), argument.mid(equals + 1), &raw, error))
            return ExitUsage;
        m_configuration.setValue(index, raw);
    }
    return ExitSuccess;
}

void SetCommand::start()
{
    if (!m_list) {
        ConfigCommand::start();
        return;
    }
    QVector<QStringList> rows{{tr("NAME"), tr("REGISTER"), tr("VALUES")}};
    for (const Setting &setting : settings())
        rows.append({setting.name, registerText(setting), rangeText(setting)});
    printOut(table(rows));
    finish(ExitSuccess);
}

void SetCommand::sensorReady()
{
    apply(m_configuration, m_configuration.hasBusSettings());
}

} // namespace BriscaCli
