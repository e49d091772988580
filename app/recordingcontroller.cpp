#include "recordingcontroller.h"

#include "briscadevice.h"
#include "framegrid.h"
#include "framepages.h"
#include "image.h"
#include "imageexport.h"
#include "recordingstatuswidget.h"
#include "replaywindow.h"
#include "trendswindow.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageWriter>
#include <QMessageBox>

namespace {

// Exported pictures are for reports: twice the pixels of the screen.
constexpr double ExportScale = 2.0;

const char *const PageStems[] = {"application1", "application2", "application3"};

} // namespace

RecordingController::RecordingController(QWidget *window, image *app1Plot, image *app2Plot,
                                         image *app3Plot)
    : QObject(window)
    , m_window(window)
    , m_plots{app1Plot, app2Plot, app3Plot}
    , m_lastDirectory(QDir::homePath())
{
    for (int page = 0; page < FramePages::PageCount; ++page) {
        m_pageActions[size_t(page)] = makeExportActions(page);
        image *plot = m_plots[size_t(page)];
        plot->addActions(plotActions(page));
        plot->setContextMenuPolicy(Qt::ActionsContextMenu);
    }
    m_fileActions = makeExportActions(-1);

    m_recordAction = new QAction(tr("&Record…"), this);
    m_recordAction->setToolTip(tr("Record every frame and every set of measurements to a file"));
    connect(m_recordAction, &QAction::triggered, this, &RecordingController::chooseRecordingFile);
    m_stopAction = new QAction(tr("S&top recording"), this);
    connect(m_stopAction, &QAction::triggered, this, &RecordingController::stopRecording);
    m_openAction = new QAction(tr("&Open recording…"), this);
    connect(m_openAction, &QAction::triggered, this, &RecordingController::chooseRecordingToOpen);
    for (int i = 0; i < 2; ++i) {
        auto *separator = new QAction(this);
        separator->setSeparator(true);
        m_separators << separator;
    }

    m_trends = new TrendsWindow(window);
    m_trendsAction = new QAction(tr("&Trends"), this);
    connect(m_trendsAction, &QAction::triggered, this, [this] {
        m_trends->show();
        m_trends->raise();
        m_trends->activateWindow();
    });

    m_statusWidget = new RecordingStatusWidget(window);
    m_statusWidget->setRecorder(&m_recorder);

    connect(&m_sampler, &DeviceSampler::sampled, this,
            [this](const Recording::Sample &sample, bool fresh) {
                m_recorder.writeSample(sample);
                m_trends->addSample(sample, fresh);
                if (sample.isFrame())
                    frameSampled(sample);
            });
    connect(&m_recorder, &Recorder::recordingChanged, this, &RecordingController::updateActions);
    connect(&m_recorder, &Recorder::failed, this, &RecordingController::recordingFailed);
    updateActions();
}

RecordingController::PageActions RecordingController::makeExportActions(int page)
{
    // page -1: the page on screen when the action is triggered.
    auto pageOf = [this, page] {
        return page < 0 ? currentPage() : page;
    };
    PageActions actions;
    actions.saveImage = new QAction(tr("&Save image…"), this);
    actions.saveImage->setToolTip(tr("Save the picture as shown, at twice the screen resolution"));
    connect(actions.saveImage, &QAction::triggered, this,
            [this, pageOf] { chooseImageFile(pageOf()); });
    actions.saveData = new QAction(tr("Save &data…"), this);
    actions.saveData->setToolTip(tr("Save the 32 x 32 temperatures in °C as a grid, top row "
                                    "first, as the picture shows them"));
    connect(actions.saveData, &QAction::triggered, this,
            [this, pageOf] { chooseDataFile(pageOf()); });
    actions.copyImage = new QAction(tr("&Copy image"), this);
    connect(actions.copyImage, &QAction::triggered, this, [this, pageOf] { copyImage(pageOf()); });
    return actions;
}

QList<QAction *> RecordingController::fileMenuActions() const
{
    return {m_fileActions.saveImage, m_fileActions.saveData,
            m_fileActions.copyImage, m_separators.at(0),
            m_recordAction,          m_stopAction,
            m_separators.at(1),      m_openAction};
}

QList<QAction *> RecordingController::plotActions(int page) const
{
    const PageActions &actions = m_pageActions.at(size_t(page));
    return {actions.saveImage, actions.saveData, actions.copyImage};
}

void RecordingController::setDevice(BriscaDevice *device)
{
    if (m_device)
        disconnect(m_device, &QObject::destroyed, this, nullptr);
    m_device = device;
    m_sampler.setDevice(device);
    // A device deleted without being handed back leaves nothing to record from.
    if (device)
        connect(device, &QObject::destroyed, this, [this] { setDevice(nullptr); });
    updateActions();
}

void RecordingController::frameSampled(const Recording::Sample &sample)
{
    m_lastFrame = sample;
    updateActions();
}

void RecordingController::updateActions()
{
    // Nothing to export before a frame was shown.
    const bool frame = hasFrame();
    for (const PageActions &actions : m_pageActions) {
        actions.saveImage->setEnabled(frame);
        actions.saveData->setEnabled(frame);
        actions.copyImage->setEnabled(frame);
    }
    m_fileActions.saveImage->setEnabled(frame);
    m_fileActions.saveData->setEnabled(frame);
    m_fileActions.copyImage->setEnabled(frame);
    const bool recording = m_recorder.isRecording();
    m_recordAction->setEnabled(!recording && m_device);
    m_stopAction->setEnabled(recording);
}

int RecordingController::currentPage() const
{
    for (int page = 0; page < FramePages::PageCount; ++page) {
        if (m_plots[size_t(page)]->isVisible())
            return page;
    }
    return FramePages::Application1;
}

// --- Recording ---

bool RecordingController::startRecording(const QString &path)
{
    if (!m_recorder.start(path))
        return false;
    m_missedFrames = 0;
    m_statusWidget->setMissedFrames(0);
    emit statusMessage(tr("Recording to %1").arg(QDir::toNativeSeparators(path)));
    return true;
}

void RecordingController::stopRecording()
{
    if (!m_recorder.isRecording())
        return;
    const qint64 rows = m_recorder.rowCount();
    m_recorder.stop();
    emit statusMessage(tr("Recording stopped: %1 rows in %2")
                           .arg(rows)
                           .arg(QDir::toNativeSeparators(m_recorder.path())));
}

void RecordingController::countMissedFrame()
{
    if (!m_recorder.isRecording())
        return;
    m_statusWidget->setMissedFrames(++m_missedFrames);
}

void RecordingController::recordingFailed(const QString &message)
{
    emit statusMessage(message);
    // Not modal: continuous mode and the link carry on while the operator reads it.
    auto *box = new QMessageBox(QMessageBox::Warning, tr("Recording stopped"), message,
                                QMessageBox::Ok, m_window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

void RecordingController::warn(const QString &title, const QString &text)
{
    QMessageBox::warning(m_window, title, text);
}

// --- Replay ---

ReplayWindow *RecordingController::openRecording(const QString &path, QString *error)
{
    auto *replay = new ReplayWindow(m_window);
    if (!replay->open(path)) {
        *error = replay->errorString();
        delete replay;
        return nullptr;
    }
    replay->setAttribute(Qt::WA_DeleteOnClose);
    replay->show();
    return replay;
}

// --- Export ---

QImage RecordingController::renderWithOverlays(int page)
{
    image &plot = *m_plots.at(size_t(page));
    // The overlays on screen lasted one rendering; they are drawn again for this one, from
    // the settings the frame was drawn with. Application 1's field of view follows the
    // operator's switch, which redraws the page at once.
    Recording::Sample shown = m_lastFrame;
    if (m_device)
        shown.measurements.app1LimitFov = m_device->app1LimitFov;
    FramePages::drawOverlays(plot, page, shown);
    return ImageExport::render(plot, ExportScale);
}

bool RecordingController::saveImage(int page, const QString &path, QString *error)
{
    if (!hasFrame()) {
        *error = tr("No frame has been shown yet.");
        return false;
    }
    QImageWriter writer(path, "png");
    if (!writer.write(renderWithOverlays(page))) {
        *error = tr("Could not save %1: %2").arg(path, writer.errorString());
        return false;
    }
    return true;
}

bool RecordingController::saveData(int page, const QString &path, QString *error)
{
    if (!hasFrame()) {
        *error = tr("No frame has been shown yet.");
        return false;
    }
    return Recording::saveFrameGrid(path, ImageExport::shownFrame(*m_plots.at(size_t(page))),
                                    error);
}

void RecordingController::copyImage(int page)
{
    if (!hasFrame())
        return;
    QApplication::clipboard()->setImage(renderWithOverlays(page));
    emit statusMessage(tr("Image copied"));
}

// --- Dialogs ---

QString RecordingController::suggestedPath(const QString &stem, const QString &suffix) const
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    return QDir(m_lastDirectory).filePath(stem + QLatin1Char('-') + stamp + suffix);
}

void RecordingController::chooseImageFile(int page)
{
    const QString path = QFileDialog::getSaveFileName(
        m_window, tr("Save image"),
        suggestedPath(QStringLiteral("brisca-") + QLatin1String(PageStems[page]),
                      QStringLiteral(".png")),
        tr("PNG images (*.png)"));
    if (path.isEmpty())
        return;
    m_lastDirectory = QFileInfo(path).absolutePath();
    QString error;
    if (!saveImage(page, path, &error))
        warn(tr("Save image"), error);
}

void RecordingController::chooseDataFile(int page)
{
    const QString path = QFileDialog::getSaveFileName(
        m_window, tr("Save data"),
        suggestedPath(QStringLiteral("brisca-") + QLatin1String(PageStems[page]),
                      QStringLiteral(".csv")),
        tr("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    m_lastDirectory = QFileInfo(path).absolutePath();
    QString error;
    if (!saveData(page, path, &error))
        warn(tr("Save data"), error);
}

void RecordingController::chooseRecordingFile()
{
    const QString path = QFileDialog::getSaveFileName(
        m_window, tr("Record"),
        suggestedPath(QStringLiteral("brisca-recording"), QStringLiteral(".csv")),
        tr("Recordings (*.csv)"));
    if (path.isEmpty())
        return;
    m_lastDirectory = QFileInfo(path).absolutePath();
    if (!startRecording(path))
        warn(tr("Record"), m_recorder.errorString());
}

void RecordingController::chooseRecordingToOpen()
{
    const QString path = QFileDialog::getOpenFileName(
        m_window, tr("Open recording"), m_lastDirectory, tr("Recordings (*.csv);;All files (*)"));
    if (path.isEmpty())
        return;
    m_lastDirectory = QFileInfo(path).absolutePath();
    QString error;
    if (!openRecording(path, &error))
        warn(tr("Open recording"), error);
}
