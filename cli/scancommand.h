#pragma once

#include "briscascanner.h"
#include "command.h"

namespace BriscaCli {

// `brisca scan`: the window's "Find sensors" on the command line. It sends only the
// validation probe, so nothing on the bus is changed.
class ScanCommand : public Command
{
    Q_OBJECT
public:
    explicit ScanCommand(QObject *parent = nullptr);

    QList<QCommandLineOption> options() const override;
    int configure(const QCommandLineParser &parser, QString *error) override;
    void start() override;
    void interrupt() override;

private:
    void found(const ScanResult &result);
    void lineChanged(const LineSetting &line);
    void scanFinished(bool cancelled, const QString &error);

    BriscaScanner m_scanner;
    ScanSettings m_settings;
    bool m_showProgress = false;
};

} // namespace BriscaCli
