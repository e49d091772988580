#include "command.h"

#include <QCoreApplication>

#include <cstdio>

namespace BriscaCli {

namespace {

void write(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void printOut(const QString &text)
{
    write(stdout, text);
}

void printError(const QString &message)
{
    write(stderr,
          QCoreApplication::applicationName() + QLatin1String(": ") + message + QLatin1Char('\n'));
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
