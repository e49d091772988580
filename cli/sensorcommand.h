#pragma once

#include "command.h"
#include "connectionoptions.h"

#include <functional>

class BriscaDevice;

namespace BriscaCli {

// A command that talks to one sensor. It opens the port, validates the slave with the
// probe, and reads the settings as the window does after "Select slave"; only then does the
// command itself take over in sensorReady(). Any failure on the way ends the command with
// the matching status, and the port is always closed before it finishes.
class SensorCommand : public Command
{
    Q_OBJECT
public:
    explicit SensorCommand(QObject *parent = nullptr);

    QList<QCommandLineOption> options() const override;
    int configure(const QCommandLineParser &parser, QString *error) override;
    void start() override;
    void interrupt() override;

protected:
    // The sensor has been validated and its settings are in the device's caches.
    virtual void sensorReady() = 0;

    // Takes --port, --baud, --parity, --slave and --timeout, for commands that declare
    // ConnectionOptions::options() without --json.
    bool configureConnection(const QCommandLineParser &parser, QString *error);

    // Waits for the answers to the `count` read requests just issued, each of which ends in
    // one data signal of the device or in one error text. The first error ends the command
    // with ExitNoAnswer (closing the port drops the requests still queued); once all have
    // answered, `then` runs.
    void awaitAnswers(int count, std::function<void()> then);
    void end(int status);
    // Prints `message`, followed by failureNote(), and ends with `status`.
    void endWithError(int status, const QString &message);
    // From now on the device's status texts are the command's own business: a command that
    // reports on many writes must not be ended by the first refusal.
    void ignoreStatusTexts() { m_ignoreStatus = true; }
    // What a script should know about a command that fails half-way, such as how much of
    // its output was written; starts with "; " when not empty.
    virtual QString failureNote() const { return {}; }

    BriscaDevice *device() const { return m_device; }
    const ConnectionOptions &connection() const { return m_connection; }

private:
    enum class Stage
    {
        Idle,
        Validating,
        Reading,
    };

    void statusReceived(const QString &text);
    void answerReceived();
    QString lineDescription() const;

    ConnectionOptions m_connection;
    BriscaDevice *m_device = nullptr;
    Stage m_stage = Stage::Idle;
    int m_pending = 0;
    bool m_ignoreStatus = false;
    std::function<void()> m_then;
};

} // namespace BriscaCli
