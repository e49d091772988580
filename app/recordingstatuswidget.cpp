#include "recordingstatuswidget.h"

#include "recorder.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>

RecordingStatusWidget::RecordingStatusWidget(QWidget *parent)
    : QWidget(parent)
{
    m_label = new QLabel(this);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 0, 4, 0);
    layout->addWidget(m_label);
    // The figures are brought up to date once a second, not with every row: continuous mode
    // writes several rows a second, and each repaint of the status bar would hold up the
    // link, which runs on the same thread.
    m_clock.setInterval(1000);
    connect(&m_clock, &QTimer::timeout, this, &RecordingStatusWidget::refresh);
    hide();
}

void RecordingStatusWidget::setRecorder(Recorder *recorder)
{
    if (m_recorder)
        disconnect(m_recorder, nullptr, this, nullptr);
    m_recorder = recorder;
    if (recorder) {
        connect(recorder, &Recorder::recordingChanged, this, &RecordingStatusWidget::refresh);
    }
    refresh();
}

void RecordingStatusWidget::setMissedFrames(int count)
{
    m_missedFrames = count;
    refresh();
}

QString RecordingStatusWidget::text() const
{
    return m_label->text();
}

void RecordingStatusWidget::refresh()
{
    const bool recording = m_recorder && m_recorder->isRecording();
    setVisible(recording);
    if (!recording) {
        m_clock.stop();
        m_label->clear();
        return;
    }
    if (!m_clock.isActive())
        m_clock.start();
    const qint64 seconds = m_recorder->elapsed() / 1000;
    const QString duration = QStringLiteral("%1:%2:%3")
                                 .arg(seconds / 3600)
                                 .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                                 .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    QString text = tr("● Recording %1, %2 rows, %3")
                       .arg(duration)
                       .arg(m_recorder->rowCount())
                       .arg(QLocale().formattedDataSize(m_recorder->size()));
    if (m_missedFrames > 0)
        text += tr(", missed frames: %1").arg(m_missedFrames);
    m_label->setText(text);
    m_label->setToolTip(
        tr("Recording to %1").arg(QFileInfo(m_recorder->path()).absoluteFilePath()));
}
