#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

class QCoreApplication;

namespace BriscaCli {

class Command;

// One row of the command table: adding a command means adding a class and a row.
struct CommandEntry
{
    const char *name;
    const char *synopsis; // what follows the name in the usage line
    const char *summary;  // one line for the overview
    Command *(*create)(QObject *parent);
};

// The `brisca` program: picks the command from the first argument, parses its options,
// runs it in the event loop and returns its exit status. Ctrl+C and SIGTERM reach the
// running command as Command::interrupt(); a second one ends the program at once.
class CommandLine : public QObject
{
    Q_OBJECT
public:
    explicit CommandLine(QObject *parent = nullptr);
    ~CommandLine() override;

    static const QVector<CommandEntry> &commands();

    // `arguments` as QCoreApplication::arguments() gives them, program name first.
    int run(const QStringList &arguments);

    // The application object the command of argv needs: a QCoreApplication, or for one that
    // draws a QApplication on the offscreen platform. Called before any other Qt object.
    static std::unique_ptr<QCoreApplication> createApplication(int &argc, char **argv);

    static QString overview();
    static QString commandHelp(const CommandEntry &entry, const QList<QCommandLineOption> &options);

private:
    int runCommand(const CommandEntry &entry, const QStringList &arguments);
    void watchInterrupts(Command *command);
};

} // namespace BriscaCli
