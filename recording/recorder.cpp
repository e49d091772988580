#include "recorder.h"

#include "recordingformat.h"

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

Recorder::Recorder(QObject *parent)
    : QObject(parent)
{}

Recorder::~Recorder()
{
    m_file.close();
}

bool Recorder::start(const QString &path)
{
    stop();
    m_error.clear();
    m_rows = 0;
    m_size = 0;
    m_file.setFileName(path);
    // Unbuffered: every write() goes to the operating system at once, so what was written
    // survives the process.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        m_error = tr("Could not open %1 for recording: %2").arg(path, m_file.errorString());
        return false;
    }
    QString reason;
    if (!writeThrough(Recording::header(), &reason)) {
        m_file.close();
        m_error = tr("Could not write to %1: %2").arg(path, reason);
        return false;
    }
    m_clock.start();
    emit recordingChanged(true);
    return true;
}

void Recorder::stop()
{
    if (!m_file.isOpen())
        return;
    m_file.close();
    m_clock.invalidate();
    emit recordingChanged(false);
}

qint64 Recorder::elapsed() const
{
    return m_clock.isValid() ? m_clock.elapsed() : 0;
}

void Recorder::writeSample(const Recording::Sample &sample)
{
    if (!m_file.isOpen())
        return;
    QString reason;
    if (!writeThrough(Recording::formatRow(sample), &reason)) {
        fail(reason);
        return;
    }
    ++m_rows;
    emit rowWritten(m_rows, m_size);
}

bool Recorder::writeThrough(const QByteArray &bytes, QString *reason)
{
    qint64 written = m_file.write(bytes);
    if (written >= 0 && written < bytes.size()) {
        // A write cut short by a full disk reports no error; the next one fails and says why.
        const qint64 more = m_file.write(bytes.constData() + written, bytes.size() - written);
        if (more > 0)
            written += more;
    }
    if (written != bytes.size()) {
        *reason = m_file.errorString();
        // Cut off the part of the row that did get through, so the file ends with a whole row.
        m_file.resize(m_size);
        return false;
    }
#ifdef Q_OS_UNIX
    // Writing to a file that was deleted succeeds on Unix, into a file nobody can open any
    // more. No link left means the recording is lost from here on.
    struct stat info;
    if (::fstat(m_file.handle(), &info) == 0 && info.st_nlink == 0) {
        *reason = tr("the file was removed");
        return false;
    }
#endif
    m_size += written;
    return true;
}

void Recorder::fail(const QString &reason)
{
    m_error = tr("Recording stopped after %1 rows: could not write to %2 (%3).")
                  .arg(m_rows)
                  .arg(m_file.fileName(), reason);
    m_file.close();
    m_clock.invalidate();
    emit recordingChanged(false);
    emit failed(m_error);
}
