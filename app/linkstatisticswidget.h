#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QToolButton>
#include <QVector>

class BriscaDevice;
class LinkStatisticsDialog;
class MainWindow;
class QAction;

namespace Ui {
class MainWindow;
}

// The traffic of the link in one line of the status bar (requests, errors, and the frame
// rate while continuous mode runs), and Tools → "Link statistics" with every counter.
// Clicking the line opens the dialog too. Both follow the link the window holds through
// MainWindow::deviceChanged(); without one the line is hidden.
class LinkStatisticsWidget : public QToolButton
{
    Q_OBJECT
public:
    LinkStatisticsWidget(MainWindow *window, Ui::MainWindow *ui);

    QAction *dialogAction() const { return m_action; }
    void openDialog();
    // Frames per second over the last frames of continuous mode; negative while the mode
    // is off or has drawn fewer than two frames.
    double framesPerSecond() const;

private:
    void setDevice(BriscaDevice *device);
    void frameArrived();
    void continuousModeToggled();
    bool continuousMode() const;
    void refresh();

    Ui::MainWindow *m_ui;
    QPointer<BriscaDevice> m_device;
    QPointer<LinkStatisticsDialog> m_dialog;
    QAction *m_action;
    // Every counter change would otherwise relayout the status bar, several hundred times
    // a second at the fast rates.
    QTimer m_refresh;
    QElapsedTimer m_clock;
    QVector<qint64> m_frameTimes;
};
