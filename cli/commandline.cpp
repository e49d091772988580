#include "commandline.h"
#include "translation_p.h"

#include "command.h"
#include "configcommands.h"
#include "grabcommand.h"
#include "portscommand.h"
#include "readcommands.h"
#include "scancommand.h"
#include "watchcommand.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace BriscaCli {

namespace {

template <typename T> Command *create(QObject *parent)
{
    return new T(parent);
}

QString exitStatusHelp()
{
    return tr("Exit status:\n"
              "  0    success\n"
              "  1    the sensor refused or did not answer, or is not a Brisca sensor\n"
              "  2    bad usage or input\n"
              "  3    the port could not be opened\n"
              "  4    the output file or standard output could not be written\n"
              "  130  interrupted (Ctrl+C) before the command was done\n");
}

QCommandLineOption helpOption()
{
    return QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")},
                              tr("Show this help and exit."));
}

QString optionSyntax(const QCommandLineOption &option)
{
    QStringList names;
    for (const QString &name : option.names())
        names << (name.size() == 1 ? QLatin1String("-") : QLatin1String("--")) + name;
    QString syntax = names.join(QLatin1String(", "));
    if (!option.valueName().isEmpty())
        syntax += QLatin1Char(' ') + option.valueName();
    return syntax;
}

// The write end of the pipe that carries a signal into the event loop; the only thing the
// handler touches.
int g_interruptPipe[2] = {-1, -1};

extern "C" void onInterrupt(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_interruptPipe[1], &byte, 1);
}

QtMessageHandler g_previousHandler = nullptr;

void quietStart(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

CommandLine::CommandLine(QObject *parent)
    : QObject(parent)
{}

CommandLine::~CommandLine()
{
    for (int &fd : g_interruptPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

const QVector<CommandEntry> &CommandLine::commands()
{
    static const QVector<CommandEntry> table{
        {"ports", "[--json]",
         QT_TRANSLATE_NOOP("BriscaCli", "list the serial ports with their adapters"),
         create<PortsCommand>},
        {"scan", "--port PATH [--baud LIST|all] [--parity LIST|all] [--from N] [--to N]",
         QT_TRANSLATE_NOOP("BriscaCli",
                           "find sensors on a bus by the validation probe, which changes nothing"),
         create<ScanCommand>},
        {"info", "--port PATH [options]",
         QT_TRANSLATE_NOOP("BriscaCli", "print the sensor's settings, by name, with units"),
         create<InfoCommand>},
        {"read", "--port PATH [options]",
         QT_TRANSLATE_NOOP("BriscaCli",
                           "print the measurements and alarm states of the three applications"),
         create<ReadCommand>},
        {"backup", "--port PATH --output FILE [options]",
         QT_TRANSLATE_NOOP("BriscaCli", "save the sensor's settings to a configuration file"),
         create<BackupCommand>},
        {"diff", "FILE --port PATH [options]",
         QT_TRANSLATE_NOOP("BriscaCli", "show where the sensor differs from a configuration file"),
         create<DiffCommand>},
        {"restore", "FILE --port PATH [--dry-run] [--bus] [options]",
         QT_TRANSLATE_NOOP("BriscaCli",
                           "load a configuration file onto the sensor and read every setting back"),
         create<RestoreCommand>},
        {"set", "NAME=VALUE... --port PATH [options] | --list",
         QT_TRANSLATE_NOOP("BriscaCli", "change settings by name and read them back"),
         create<SetCommand>},
        {"grab", "--port PATH --output FILE [--frames N] [--app N] [options]",
         QT_TRANSLATE_NOOP("BriscaCli", "save frames as a recording (CSV) or, for a .png name, "
                                        "a picture like the window's"),
         create<GrabCommand>},
        {"watch", "--port PATH [--count N] [--frames] [--interval MS] [options]",
         QT_TRANSLATE_NOOP("BriscaCli",
                           "print the measurements as CSV lines until Ctrl+C or N lines"),
         create<WatchCommand>},
    };
    return table;
}

QString CommandLine::overview()
{
    QString text = tr("Usage: brisca COMMAND [options]\n\n"
                      "Talks Modbus RTU to Brisca thermal sensors on an RS485 bus.\n\n"
                      "Commands:\n");
    int width = 0;
    for (const CommandEntry &entry : commands())
        width = std::max(width, int(qstrlen(entry.name)));
    for (const CommandEntry &entry : commands()) {
        text += QLatin1String("  ") + QString::fromLatin1(entry.name).leftJustified(width + 2) +
                QCoreApplication::translate("BriscaCli", entry.summary) + QLatin1Char('\n');
    }
    text += tr("\nCommands that talk to a sensor first check with the validation probe that a "
               "Brisca sensor\nanswers at the slave address, and stop if none does.\n\n"
               "Run 'brisca COMMAND --help' for the options of a command.\n\n");
    return text + exitStatusHelp();
}

QString CommandLine::commandHelp(const CommandEntry &entry,
                                 const QList<QCommandLineOption> &options)
{
    QString text =
        tr("Usage: brisca %1 %2\n\n").arg(QLatin1String(entry.name), QLatin1String(entry.synopsis));
    QString summary = QCoreApplication::translate("BriscaCli", entry.summary);
    summary[0] = summary.at(0).toUpper();
    text += summary + QLatin1String(".\n\n") + tr("Options:\n");

    QList<QCommandLineOption> all = options;
    all << helpOption();
    int width = 0;
    for (const QCommandLineOption &option : all)
        width = std::max(width, int(optionSyntax(option).size()));
    for (const QCommandLineOption &option : all) {
        text += QLatin1String("  ") + optionSyntax(option).leftJustified(width + 2) +
                option.description() + QLatin1Char('\n');
    }
    return text + QLatin1Char('\n') + exitStatusHelp();
}

int CommandLine::run(const QStringList &arguments)
{
    const QString first = arguments.value(1);
    if (first.isEmpty()) {
        printError(tr("no command given; run 'brisca --help' for the list"));
        return ExitUsage;
    }
    if (first == QLatin1String("--help") || first == QLatin1String("-h") ||
        first == QLatin1String("help")) {
        printOut(overview());
        return ExitSuccess;
    }
    if (first == QLatin1String("--version")) {
        printOut(QStringLiteral("brisca %1\n").arg(QCoreApplication::applicationVersion()));
        return ExitSuccess;
    }
    const QVector<CommandEntry> &table = commands();
    const auto entry = std::find_if(table.cbegin(), table.cend(), [&](const CommandEntry &e) {
        return first == QLatin1String(e.name);
    });
    if (entry == table.cend()) {
        printError(tr("unknown command '%1'; run 'brisca --help' for the list").arg(first));
        return ExitUsage;
    }
    return runCommand(*entry, arguments);
}

int CommandLine::runCommand(const CommandEntry &entry, const QStringList &arguments)
{
    Command *command = entry.create(this);
    const QList<QCommandLineOption> options = command->options();
    QCommandLineParser parser;
    parser.addOptions(options);
    parser.addOption(helpOption());
    // The parser takes its first argument for the program name; here that is the command.
    const QStringList rest = arguments.mid(1);
    const QString name = QString::fromLatin1(entry.name);
    if (!parser.parse(rest)) {
        QString why = parser.errorText();
        if (why.endsWith(QLatin1Char('.')))
            why.chop(1);
        printError(tr("%1; run 'brisca %2 --help' for its options").arg(why, name));
        return ExitUsage;
    }
    if (parser.isSet(helpOption())) {
        printOut(commandHelp(entry, options));
        return ExitSuccess;
    }
    if (!command->takesArguments() && !parser.positionalArguments().isEmpty()) {
        printError(tr("unexpected argument '%1'; run 'brisca %2 --help' for its options")
                       .arg(parser.positionalArguments().constFirst(), name));
        return ExitUsage;
    }
    QString error;
    const int status = command->configure(parser, &error);
    if (status != ExitSuccess) {
        printError(error);
        return status;
    }

    int result = ExitSuccess;
    connect(command, &Command::finished, this, [&result](int status) {
        result = status;
        QCoreApplication::exit(status);
    });
    watchInterrupts(command);
    QTimer::singleShot(0, command, &Command::start);
    QCoreApplication::exec();
    return result;
}

void CommandLine::watchInterrupts(Command *command)
{
    if (::pipe2(g_interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_interruptPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, command, [command] {
        char byte;
        while (::read(g_interruptPipe[0], &byte, 1) > 0) {
        }
        command->interrupt();
    });
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // One request to stop is asked politely; the second one is not.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader that goes away (`brisca watch | head`) shows as a failed write, which ends the
    // command with the port closed properly instead of killing the program.
    std::signal(SIGPIPE, SIG_IGN);
}

std::unique_ptr<QCoreApplication> CommandLine::createApplication(int &argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (!GrabCommand::drawsPicture(arguments))
        return std::make_unique<QCoreApplication>(argc, argv);
    // Pictures are drawn by the window's own plot, which needs a GUI application; the
    // offscreen platform gives it one without a display. Started without a desktop session
    // (from cron, by a service) the platform complains that it has no runtime folder, which
    // a picture does not need and a script must not have to skip.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    g_previousHandler = qInstallMessageHandler(quietStart);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(g_previousHandler);
    return app;
}

} // namespace BriscaCli
