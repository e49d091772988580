#include "command.h"

#include <QCoreApplication>

#include <cstdio>

namespace BriscaCli {

namespace {

// Written through at once: a script reading a pipe sees each line as it is printed.
bool write(FILE *stream, const QByteArray &bytes)
{
    const size_t written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    return std::fflush(stream) == 0 && written == size_t(bytes.size());
}

} // namespace

void printOut(const QString &text)
{
    write(stdout, text.toUtf8());
}

bool printOut(const QByteArray &bytes)
{
    return write(stdout, bytes);
}

void printError(const QString &message)
{
    write(stderr,
          (QCoreApplication::applicationName() + QLatin1String(": ") + message + QLatin1Char('\n'))
              .toUtf8());
}

Command::Command(QObject *parent)
    : QObject(parent)
{}

void Command::interrupt()
{
    finish(ExitInterrupted);
}

QCommandLineOption Command::jsonOption()
{
    return QCommandLineOption(QStringLiteral("json"), tr("Print JSON instead of text."));
}

void Command::finish(int status)
{
    if (m_finished)
        return;
    m_finished = true;
    emit finished(status);
}

void Command::fail(int status, const QString &message)
{
    if (m_finished)
        return;
    printError(message);
    finish(status);
}

} // namespace BriscaCli
