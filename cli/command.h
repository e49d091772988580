#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QObject>
#include <QString>

class QCommandLineParser;

namespace BriscaCli {

// What `brisca` tells the shell. Scripts branch on these, so they never change meaning.
enum ExitStatus
{
    ExitSuccess = 0,
    ExitNoAnswer = 1, // the sensor refused, did not answer, or is no Brisca sensor
    ExitUsage = 2,    // bad usage or input
    ExitPort = 3,     // the port could not be opened
    ExitOutput = 4,   // the output file or standard output could not be written
    ExitInterrupted = 130,
};

// Writes to standard output and standard error as UTF-8, whatever the locale says, so that
// units such as °C come out the same on every machine.
void printOut(const QString &text);
// Bytes as they are, such as CSV lines. False when they could not all be written; errno
// then says why.
bool printOut(const QByteArray &bytes);
void printError(const QString &message);

// One command of `brisca`. The command line creates it, hands it the options it declares
// once they have been parsed, starts it inside the event loop and exits with the status
// of finished(). Nothing waits: a command reacts to the signals of what it drives.
class Command : public QObject
{
    Q_OBJECT
public:
    explicit Command(QObject *parent = nullptr);

    // Every option this command accepts, --help apart.
    virtual QList<QCommandLineOption> options() const = 0;
    // Whether arguments other than options (a file, NAME=VALUE pairs) are the command's to
    // check in configure(); otherwise the command line refuses them.
    virtual bool takesArguments() const { return false; }
    // Takes the parsed options. Returns ExitSuccess, or another status with *error set.
    virtual int configure(const QCommandLineParser &parser, QString *error) = 0;
    virtual void start() = 0;
    // Ctrl+C or a termination request: stop what is under way and finish. Commands that
    // run until they are stopped finish with ExitSuccess instead.
    virtual void interrupt();

    bool isFinished() const { return m_finished; }

    static QCommandLineOption jsonOption();

signals:
    void finished(int status);

protected:
    // Finishes once; later calls are ignored, so a late signal cannot change the verdict.
    void finish(int status);
    // Prints `message` on standard error, then finishes with `status`.
    void fail(int status, const QString &message);

    bool m_json = false;

private:
    bool m_finished = false;
};

} // namespace BriscaCli
