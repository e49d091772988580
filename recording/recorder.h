#pragma once

#include "sample.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>

// Writes samples to a recording file, each row straight through to the operating system as
// it arrives: a process that is killed loses at most the row it was writing.
//
// A write that fails (disk full, file removed, device gone) stops the recording: the file is
// closed with its last whole row, failed() carries the reason, and nothing else is touched.
class Recorder : public QObject
{
    Q_OBJECT
public:
    explicit Recorder(QObject *parent = nullptr);
    ~Recorder() override;

    // Creates or truncates `path` and writes the header. False, with errorString(), when the
    // file cannot be opened or written.
    bool start(const QString &path);
    void stop();

    bool isRecording() const { return m_file.isOpen(); }
    QString path() const { return m_file.fileName(); }
    QString errorString() const { return m_error; }
    qint64 rowCount() const { return m_rows; }
    // Bytes in the file: the header and the whole rows.
    qint64 size() const { return m_size; }
    // Milliseconds since start(); 0 when not recording.
    qint64 elapsed() const;

public slots:
    void writeSample(const Recording::Sample &sample);

signals:
    void rowWritten(qint64 rows, qint64 size);
    void recordingChanged(bool recording);
    void failed(const QString &message);

private:
    bool writeThrough(const QByteArray &bytes, QString *reason);
    void fail(const QString &reason);

    QFile m_file;
    QElapsedTimer m_clock;
    QString m_error;
    qint64 m_rows = 0;
    qint64 m_size = 0;
};
