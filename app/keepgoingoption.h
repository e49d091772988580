#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

class BriscaDevice;
class QAbstractButton;
class QAction;

// Continuous mode's "Keep going after a missed frame". Off, a frame that does not arrive ends
// the loop, as it always has: the mode stays on and waits for the operator. On, the missed
// frame is counted and the next image is asked for after a short pause, so that a long
// unattended run survives a single damaged answer.
//
// The option is a checkable entry of each continuous-mode button's context menu, one action
// shared by the three buttons.
class KeepGoingOption : public QObject
{
    Q_OBJECT
public:
    // A moment for a sensor that refused a read to settle, and at most two tries a second
    // against one that refuses every time.
    static constexpr int PauseMs = 500;

    // `continuousModeRuns` tells whether the window's continuous mode is on right now.
    KeepGoingOption(const QList<QAbstractButton *> &cycleButtons,
                    std::function<bool()> continuousModeRuns, QObject *parent);

    QAction *action() const { return m_action; }
    bool isOn() const;

    // The device whose images are watched; null when there is none.
    void setDevice(BriscaDevice *device);

signals:
    // Continuous mode missed a frame and goes on with the next one.
    void frameMissed();

private:
    void imageMissed();
    void requestNext();

    std::function<bool()> m_continuousModeRuns;
    QPointer<BriscaDevice> m_device;
    QAction *m_action = nullptr;
    QTimer m_pause;
};
