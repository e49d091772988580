#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>

class QLabel;
class Recorder;

// For the status bar: while a recording runs, says so with its duration, rows and size, and
// the frames that were missed since it started. Hidden otherwise.
class RecordingStatusWidget : public QWidget
{
    Q_OBJECT
public:
    explicit RecordingStatusWidget(QWidget *parent = nullptr);

    void setRecorder(Recorder *recorder);
    void setMissedFrames(int count);
    QString text() const;

private:
    void refresh();

    QPointer<Recorder> m_recorder;
    QLabel *m_label = nullptr;
    QTimer m_clock;
    int m_missedFrames = 0;
};
