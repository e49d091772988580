#pragma once

#include "configuration.h"
#include "sensorcommand.h"

namespace BriscaConfig {
class SensorConfigurator;
}

namespace BriscaCli {

// The commands that move a sensor's settings to and from a configuration file. They check
// their file or values completely in configure(), before the port is even opened, so that
// bad input never reaches a sensor.
class ConfigCommand : public SensorCommand
{
    Q_OBJECT
public:
    using SensorCommand::SensorCommand;

    QList<QCommandLineOption> options() const override;

protected:
    // Reads and checks a configuration file; ExitUsage with *error set when it is not one.
    static int readFile(const QString &path, BriscaConfig::Configuration *configuration,
                        QString *error);
    // Writes and verifies, prints the result of every setting and ends: ExitNoAnswer when a
    // setting failed to verify.
    void apply(const BriscaConfig::Configuration &configuration, bool includeBus);

private:
    void applied();

    BriscaConfig::SensorConfigurator *m_configurator = nullptr;
};

// `brisca backup --output FILE`: every setting, the bus settings too, into a file.
class BackupCommand : public ConfigCommand
{
    Q_OBJECT
public:
    using ConfigCommand::ConfigCommand;
    QList<QCommandLineOption> options() const override;
    int configure(const QCommandLineParser &parser, QString *error) override;

protected:
    void sensorReady() override;

private:
    QString m_output;
};

// `brisca diff FILE`: the settings in which the sensor and the file differ.
class DiffCommand : public ConfigCommand
{
    Q_OBJECT
public:
    using ConfigCommand::ConfigCommand;
    bool takesArguments() const override { return true; }
    int configure(const QCommandLineParser &parser, QString *error) override;

protected:
    void sensorReady() override;

private:
    QString m_path;
    BriscaConfig::Configuration m_configuration;
};

// `brisca restore FILE [--dry-run] [--bus]`: writes what differs and reads it all back.
class RestoreCommand : public ConfigCommand
{
    Q_OBJECT
public:
    using ConfigCommand::ConfigCommand;
    QList<QCommandLineOption> options() const override;
    bool takesArguments() const override { return true; }
    int configure(const QCommandLineParser &parser, QString *error) override;

protected:
    void sensorReady() override;

private:
    BriscaConfig::Configuration m_configuration;
    bool m_dryRun = false;
    bool m_bus = false;
};

// `brisca set NAME=VALUE...`: the same for settings given on the command line; naming a bus
// setting is asking for it. `brisca set --list` prints every name with its range.
class SetCommand : public ConfigCommand
{
    Q_OBJECT
public:
    using ConfigCommand::ConfigCommand;
    QList<QCommandLineOption> options() const override;
    bool takesArguments() const override { return true; }
    int configure(const QCommandLineParser &parser, QString *error) override;
    void start() override;

protected:
    void sensorReady() override;

private:
    BriscaConfig::Configuration m_configuration;
    bool m_list = false;
};

} // namespace BriscaCli
