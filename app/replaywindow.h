#pragma once

#include "sample.h"

#include <QTimer>
#include <QWidget>

#include <array>

class QComboBox;
class QLabel;
class QPushButton;
class QSlider;
class QTabWidget;
class QTableWidget;
class image;

// Shows a recording without a sensor: each frame on the three application pages as the main
// window draws it, a slider over the frames, play and pause at the recorded pace or faster,
// and the measurements recorded with the frame shown.
class ReplayWindow : public QWidget
{
    Q_OBJECT
public:
    explicit ReplayWindow(QWidget *parent = nullptr);

    // Reads the recording at `path` and shows its first frame. False, with errorString(),
    // when the file cannot be shown; the window then keeps what it showed before.
    bool open(const QString &path);
    QString errorString() const { return m_error; }
    QStringList notes() const { return m_notes; }

    int frameCount() const { return m_frames.size(); }
    int currentFrame() const { return m_current; }
    void showFrame(int index);
    image *plot(int page) const { return m_plots.at(size_t(page)); }
    QSlider *slider() const { return m_slider; }

    void setPlaying(bool playing);
    bool isPlaying() const;
    // Multiple of the recorded pace: 1 plays the frames as they arrived.
    void setSpeed(double factor);

private:
    void scheduleNext();
    void fillTable(const Recording::Sample &sample);
    void setRow(int row, const QString &name, const QString &value);

    QVector<Recording::Sample> m_frames;
    QStringList m_notes;
    QString m_error;
    int m_current = -1;
    double m_speed = 1.0;

    QTimer m_playTimer;
    std::array<image *, 3> m_plots{};
    QTabWidget *m_pages = nullptr;
    QTableWidget *m_table = nullptr;
    QSlider *m_slider = nullptr;
    QPushButton *m_playButton = nullptr;
    QComboBox *m_speedBox = nullptr;
    QLabel *m_positionLabel = nullptr;
    QLabel *m_noteLabel = nullptr;
};
