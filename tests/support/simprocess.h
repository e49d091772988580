#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

// Runs the virtual sensor `brisca-sim` on a fresh pseudo-terminal for one test.
//
// The sensors (one, or one per --slave among the arguments) are started with
// `--link <dir>/tty` and `--state <dir>/state.json` inside a private temporary folder, plus
// whatever arguments the test adds. start() returns once
// the simulator printed its `ready PATH` line, so the test can connect to linkPath() at
// once. Every request and answer the simulator logs with `--verbose` ("rx ..." / "tx ...")
// is collected, so a test can see exactly what went over the line.
class SimProcess : public QObject
{
    Q_OBJECT
public:
    explicit SimProcess(QObject *parent = nullptr);
    ~SimProcess() override;

    bool start(const QStringList &args = {}, int timeoutMs = 10000);
    // SIGTERM, then waits for the process to end; returns its exit code (-1 if it crashed).
    int stop(int timeoutMs = 5000);
    bool isRunning() const;
    bool waitForFinished(int timeoutMs = 5000);

    QString linkPath() const { return m_linkPath; }
    QString statePath() const;
    QString tempPath(const QString &name) const;

    // Writes `map` as JSON into the private folder and returns its path, for `--load`.
    QString writeJson(const QString &name, const QJsonObject &map) const;

    // The register map the simulator last wrote to its --state file (that of the first
    // sensor); empty before the first change.
    QJsonObject state() const;
    // One array of the state ("coils", "discrete_inputs", "holding", "input").
    QVector<int> stateArray(const QString &table) const;

    // Sends one control line on the simulator's standard input ("fault ...", "clear",
    // "set holding 12 7", "slave 7 set holding 9 50", "hangup", ...) and waits for its
    // "ok"/"error" answer.
    bool command(const QByteArray &line, int timeoutMs = 5000);
    // The same for a line whose answer says something: what follows "ok ", or a null string.
    QString query(const QByteArray &line, int timeoutMs = 5000);
    // The settings a client has put on the line, as the sensors read them ("19200 8E1").
    QString lineSettings() { return query("line"); }

    // Requests the simulator received, as hex strings without spaces ("0106000a03e8c9e6"),
    // when it was started with --verbose.
    QStringList received() const;
    QStringList sent() const;
    void clearLog();

signals:
    void requestReceived(const QString &hex);

private:
    void readStdout();
    void readStderr();

    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_linkPath;
    QByteArray m_stdoutBuffer;
    QByteArray m_stderrBuffer;
    QByteArray m_stderr;
    QList<QByteArray> m_stdoutLines;
    QStringList m_received;
    QStringList m_sent;
    bool m_ready = false;
};
