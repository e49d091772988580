#pragma once

#include "command.h"

namespace BriscaCli {

// `brisca ports`: the serial ports the system has, with what is known of their adapters.
class PortsCommand : public Command
{
    Q_OBJECT
public:
    using Command::Command;

    QList<QCommandLineOption> options() const override;
    int configure(const QCommandLineParser &parser, QString *error) override;
    void start() override;
};

} // namespace BriscaCli
