#pragma once

#include "devicesampler.h"
#include "recorder.h"
#include "sample.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <array>

class BriscaDevice;
class QAction;
class QWidget;
class RecordingStatusWidget;
class ReplayWindow;
class TrendsWindow;
class image;

// Keeps what the sensor shows: export of the frame on a page, recording to a file, replay of
// a recording and the trends window. The main window hands it the current device and the
// three image views and adds its actions to the File menu, the Tools menu and the status bar;
// the context menus of the three views get their export actions from the controller itself.
class RecordingController : public QObject
{
    Q_OBJECT
public:
    // `window` parents the dialogs and windows. The plots are those of the application
    // pages, in page order.
    RecordingController(QWidget *window, image *app1Plot, image *app2Plot, image *app3Plot);

    // The device whose frames and measurements are recorded and plotted; null when there is
    // none. A running recording goes on with the next device.
    void setDevice(BriscaDevice *device);

    // "Save image…", "Save data…", "Copy image" (for the page shown), a separator,
    // "Record…", "Stop recording", a separator and "Open recording…".
    QList<QAction *> fileMenuActions() const;
    // The export actions of one page, as its view's context menu shows them.
    QList<QAction *> plotActions(int page) const;
    // "Trends", for the Tools menu.
    QAction *trendsAction() const { return m_trendsAction; }
    RecordingStatusWidget *statusWidget() const { return m_statusWidget; }

    Recorder *recorder() { return &m_recorder; }
    TrendsWindow *trendsWindow() const { return m_trends; }
    bool hasFrame() const { return !m_lastFrame.frame.isEmpty(); }

    // The operations behind the actions, without their file dialogs.
    bool startRecording(const QString &path);
    void stopRecording();
    // Opens a replay window for `path`; null with `error` naming the line when it cannot.
    ReplayWindow *openRecording(const QString &path, QString *error);
    bool saveImage(int page, const QString &path, QString *error);
    bool saveData(int page, const QString &path, QString *error);
    void copyImage(int page);
    // The application page whose view is on screen; Application 1 when none is.
    int currentPage() const;

public slots:
    // Continuous mode could not get a frame and went on with the next one.
    void countMissedFrame();

signals:
    // For the main window's status bar.
    void statusMessage(const QString &text);

private:
    struct PageActions
    {
        QAction *saveImage = nullptr;
        QAction *saveData = nullptr;
        QAction *copyImage = nullptr;
    };

    PageActions makeExportActions(int page);
    void frameSampled(const Recording::Sample &sample);
    void updateActions();
    void recordingFailed(const QString &message);
    void warn(const QString &title, const QString &text);

    void chooseImageFile(int page);
    void chooseDataFile(int page);
    void chooseRecordingFile();
    void chooseRecordingToOpen();
    QString suggestedPath(const QString &stem, const QString &suffix) const;
    QImage renderWithOverlays(int page);

    QWidget *m_window;
    std::array<image *, 3> m_plots;
    QPointer<BriscaDevice> m_device;
    DeviceSampler m_sampler;
    Recorder m_recorder;
    Recording::Sample m_lastFrame;
    int m_missedFrames = 0;
    QString m_lastDirectory;

    std::array<PageActions, 3> m_pageActions;
    PageActions m_fileActions; // act on the page shown
    QAction *m_recordAction = nullptr;
    QAction *m_stopAction = nullptr;
    QAction *m_openAction = nullptr;
    QAction *m_trendsAction = nullptr;
    QList<QAction *> m_separators;
    RecordingStatusWidget *m_statusWidget = nullptr;
    TrendsWindow *m_trends = nullptr;
};
