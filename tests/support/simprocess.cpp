#include "simprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTest>

#include <csignal>

SimProcess::SimProcess(QObject *parent)
    : QObject(parent)
{
    m_linkPath = m_dir.filePath(QStringLiteral("tty"));
    m_process.setProgram(QStringLiteral(BRISCA_SIM_PATH));
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &SimProcess::readStdout);
    connect(&m_process, &QProcess::readyReadStandardError, this, &SimProcess::readStderr);
}

SimProcess::~SimProcess()
{
    stop();
}

bool SimProcess::start(const QStringList &args, int timeoutMs)
{
    QStringList all{QStringLiteral("--link"), m_linkPath, QStringLiteral("--state"), statePath()};
    if (!args.contains(QLatin1String("--verbose")))
        all << QStringLiteral("--verbose");
    all << args;
    m_ready = false;
    m_stdoutLines.clear();
    m_process.setArguments(all);
    m_process.start(QIODevice::ReadWrite);
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    QDeadlineTimer deadline(timeoutMs);
    while (!m_ready && m_process.state() == QProcess::Running && !deadline.hasExpired())
        QTest::qWait(10);
    if (!m_ready)
        qWarning("brisca-sim did not become ready: %s", m_stderr.constData());
    return m_ready;
}

int SimProcess::stop(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
    if (!m_process.waitForFinished(timeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(timeoutMs);
        return -1;
    }
    readStdout();
    readStderr();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

bool SimProcess::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

bool SimProcess::waitForFinished(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (isRunning() && !deadline.hasExpired())
        QTest::qWait(10);
    return !isRunning();
}

QString SimProcess::statePath() const
{
    return m_dir.filePath(QStringLiteral("state.json"));
}

QString SimProcess::tempPath(const QString &name) const
{
    return m_dir.filePath(name);
}

QString SimProcess::writeJson(const QString &name, const QJsonObject &map) const
{
    const QString path = m_dir.filePath(name);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(QJsonDocument(map).toJson());
    return file.commit() ? path : QString();
}

QJsonObject SimProcess::state() const
{
    QFile file(statePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

QVector<int> SimProcess::stateArray(const QString &table) const
{
    QVector<int> values;
    const QJsonArray array = state().value(table).toArray();
    values.reserve(array.size());
    for (const QJsonValue &v : array)
        values.append(v.toInt());
    return values;
}

bool SimProcess::command(const QByteArray &line, int timeoutMs)
{
    return !query(line, timeoutMs).isNull();
}

QString SimProcess::query(const QByteArray &line, int timeoutMs)
{
    if (!isRunning())
        return {};
    const int before = m_stdoutLines.size();
    m_process.write(line + '\n');
    QDeadlineTimer deadline(timeoutMs);
    while (m_stdoutLines.size() == before && isRunning() && !deadline.hasExpired())
        QTest::qWait(5);
    if (m_stdoutLines.size() <= before)
        return {};
    const QByteArray reply = m_stdoutLines.at(before);
    if (reply == "ok")
        return QStringLiteral("");
    return reply.startsWith("ok ") ? QString::fromLatin1(reply.mid(3)) : QString();
}

QStringList SimProcess::received() const
{
    return m_received;
}

QStringList SimProcess::sent() const
{
    return m_sent;
}

void SimProcess::clearLog()
{
    m_received.clear();
    m_sent.clear();
}

void SimProcess::readStdout()
{
    m_stdoutBuffer += m_process.readAllStandardOutput();
    int nl;
    while ((nl = m_stdoutBuffer.indexOf('\n')) >= 0) {
        const QByteArray line = m_stdoutBuffer.left(nl).trimmed();
        m_stdoutBuffer.remove(0, nl + 1);
        if (!m_ready && line.startsWith("ready "))
            m_ready = true;
        else
            m_stdoutLines.append(line);
    }
}

void SimProcess::readStderr()
{
    const QByteArray chunk = m_process.readAllStandardError();
    m_stderr += chunk;
    m_stderrBuffer += chunk;
    int nl;
    while ((nl = m_stderrBuffer.indexOf('\n')) >= 0) {
        const QByteArray line = m_stderrBuffer.left(nl).trimmed();
        m_stderrBuffer.remove(0, nl + 1);
        const QString hex = QString::fromLatin1(line.mid(3)).remove(QLatin1Char(' ')).toLower();
        if (line.startsWith("rx ")) {
            m_received.append(hex);
            emit requestReceived(hex);
        } else if (line.startsWith("tx ")) {
            m_sent.append(hex);
        }
    }
}
