// brisca-tour OUTDIR
//
// Starts the virtual sensor on a fresh pseudo-terminal, opens the main window and goes
// through it as an operator would: types the port name, presses Connect and Select slave,
// opens every page, asks for an image on each application page, and saves a PNG of each
// page into OUTDIR. The pictures in docs/screenshots come from here. Set BRISCA_SIM to use
// another simulator binary.

#include "mainwindow.h"
#include "recordingcontroller.h"
#include "replaywindow.h"
#include "trendswindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProcess>
#include <QRadioButton>
#include <QSlider>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>
#include <qcustomplot.h>

#include <cstdio>
#include <functional>

namespace {

// Every step waits for the window to show its result; the virtual sensor answers at once,
// so these are generous.
constexpr int StepTimeoutMs = 15000;

bool waitUntil(const std::function<bool()> &done, int timeoutMs = StepTimeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qSleep(5);
    }
    return true;
}

int fail(const char *what)
{
    std::fprintf(stderr, "brisca-tour: %s\n", what);
    return 1;
}

class Tour
{
public:
    Tour(MainWindow &window, const QString &outDir)
        : m_window(window)
        , m_outDir(outDir)
    {
        QObject::connect(m_window.statusBar(), &QStatusBar::messageChanged, &m_window,
                         [this](const QString &text) { m_messages << text; });
    }

    template <typename T> T *widget(const char *name) const
    {
        T *w = m_window.findChild<T *>(QLatin1String(name));
        if (!w)
            std::fprintf(stderr, "brisca-tour: no widget %s\n", name);
        return w;
    }

    bool click(const char *name)
    {
        auto *button = widget<QAbstractButton>(name);
        if (!button || !button->isEnabled())
            return false;
        // A check or radio button may be stretched far past its text, and only the indicator
        // and the text take a click, so press it where the indicator is.
        const bool indicator =
            qobject_cast<QRadioButton *>(button) || qobject_cast<QCheckBox *>(button);
        const QPoint at = indicator ? QPoint(button->height() / 2, button->height() / 2)
                                    : button->rect().center();
        QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, at);
        return true;
    }

    // Picks the item of a combo box with the keyboard, as an operator would.
    bool choose(const char *name, const QString &text)
    {
        auto *box = widget<QComboBox>(name);
        if (!box || !box->isEnabled() || box->findText(text) < 0)
            return false;
        box->setFocus();
        const int target = box->findText(text);
        while (box->currentIndex() != target) {
            const int before = box->currentIndex();
            QTest::keyClick(box, before < target ? Qt::Key_Down : Qt::Key_Up);
            if (box->currentIndex() == before)
                return false;
        }
        return true;
    }

    MainWindow &window() const { return m_window; }
    QString outDir() const { return m_outDir; }

    bool sawMessage(const QString &text) const { return m_messages.contains(text); }
    void forgetMessages() { m_messages.clear(); }

    bool save(const QString &name) { return saveWidget(m_window, name); }

    // A picture of `widget`, with `popup` (an open menu) drawn over it where it shows on screen.
    bool saveWidget(QWidget &widget, const QString &name, QWidget *popup = nullptr)
    {
        // Let queued repaints (the plots repaint on the next event loop turn) land first.
        QTest::qWait(200);
        QPixmap picture = widget.grab();
        if (popup) {
            QPainter painter(&picture);
            painter.drawPixmap(popup->mapToGlobal(QPoint()) - widget.mapToGlobal(QPoint()),
                               popup->grab());
        }
        const QString path = QDir(m_outDir).filePath(name);
        if (!picture.save(path, "PNG"))
            return false;
        std::printf("%s\n", qPrintable(path));
        return true;
    }

private:
    MainWindow &m_window;
    QString m_outDir;
    QStringList m_messages;
};

// Pictures 30-39: export, recording, replay and trends. Continuous mode runs on the
// Application 3 page with a recording going; the File menu is shot open over it, then the
// recording is opened for replay, and the trends of the run are shown zoomed to it.
bool recordingTour(Tour &tour, const QString &recordingPath)
{
    MainWindow &window = tour.window();
    auto *controller = window.findChild<RecordingController *>();
    auto *file = window.findChild<QMenu *>(QStringLiteral("menuFile"));
    auto *cycle = tour.widget<QAbstractButton>("pushButton_cycleMode3");
    if (!controller || !file || !cycle)
        return false;

    // "Record…" asks for a file name in a dialog; the tour names it itself.
    if (!controller->startRecording(recordingPath))
        return false;
    int frames = 0;
    QObject counter;
    QObject::connect(controller->recorder(), &Recorder::rowWritten, &counter,
                     [&frames] { ++frames; });
    if (!tour.click("pushButton_cycleMode3") || !waitUntil([&] { return frames >= 120; }, 60000))
        return false;

    // The keep-going option in the context menu of the continuous-mode button. The menu runs
    // its own event loop, so it is shot and closed from a timer inside it.
    bool optionShot = false;
    QTimer::singleShot(400, &window, [&] {
        if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            optionShot = tour.saveWidget(window, QStringLiteral("31-keep-going.png"), menu);
            menu->close();
        }
    });
    const QPoint at = cycle->rect().center();
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, at, cycle->mapToGlobal(at));
    QApplication::sendEvent(cycle, &menuEvent);
    if (!optionShot)
        return false;

    // The File menu opened with the mouse while the recording runs.
    QMenuBar *bar = window.menuBar();
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier,
                      bar->actionGeometry(file->menuAction()).center());
    if (!waitUntil([&] { return file->isVisible(); }) ||
        !tour.saveWidget(window, QStringLiteral("30-file-menu.png"), file))
        return false;
    file->close();

    tour.click("pushButton_cycleMode3");
    waitUntil([&] { return frames >= 130; }, 5000);
    controller->stopRecording();

    // The trends of the run: the last ten minutes show, so the wheel zooms in on the run.
    QAction *trendsAction = controller->trendsAction();
    if (!trendsAction->isEnabled())
        return false;
    trendsAction->trigger();
    TrendsWindow *trends = controller->trendsWindow();
    if (!QTest::qWaitForWindowExposed(trends))
        return false;
    QCustomPlot *plot = trends->plot();
    const QPoint right(plot->axisRect()->right() - 5, plot->axisRect()->center().y());
    for (int i = 0; i < 20; ++i) {
        QWheelEvent wheel(right, plot->mapToGlobal(right), QPoint(), QPoint(0, 120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(plot, &wheel);
    }
    if (!tour.saveWidget(*trends, QStringLiteral("33-trends.png")))
        return false;
    trends->close();

    // The recording in replay, on the Application 3 page, some way into the run.
    QString error;
    ReplayWindow *replay = controller->openRecording(recordingPath, &error);
    if (!replay || !QTest::qWaitForWindowExposed(replay))
        return false;
    replay->findChild<QTabWidget *>()->setCurrentIndex(2);
    // Overlays last one rendering: the frame is drawn after its page is on screen.
    QTest::qWait(200);
    replay->slider()->setValue(replay->frameCount() / 2);
    const bool shot = tour.saveWidget(*replay, QStringLiteral("32-replay.png"));
    replay->close();
    return shot;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: brisca-tour OUTDIR\n");
        return 2;
    }
    const QString outDir = app.arguments().at(1);
    if (!QDir().mkpath(outDir))
        return fail("cannot create the output folder");

    // A short link path, so that the whole name fits the port field in the picture.
    QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/b-XXXXXX"));
    const QString link = tmp.filePath(QStringLiteral("tty"));
    QString simPath = qEnvironmentVariable("BRISCA_SIM");
    if (simPath.isEmpty())
        simPath = QStringLiteral(BRISCA_SIM_PATH);

    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(simPath, {QStringLiteral("--link"), link, QStringLiteral("--pattern"),
                        QStringLiteral("scene"), QStringLiteral("--seed"), QStringLiteral("7")});
    if (!sim.waitForStarted() || !waitUntil([&] { return sim.canReadLine(); }))
        return fail("the virtual sensor did not start");
    if (!sim.readLine().startsWith("ready"))
        return fail("the virtual sensor did not report ready");

    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return fail("the window was not shown");
    Tour tour(window, outDir);

    int status = 0;
    const auto step = [&status](bool ok, const char *what) {
        if (!ok && status == 0)
            status = fail(what);
        return ok;
    };

    // Connection page: the port as the operator types it, then Connect and Select slave.
    auto *port = tour.widget<QLineEdit>("lineEdit_portname");
    if (step(port != nullptr, "no port field")) {
        port->selectAll();
        QTest::keyClicks(port, link);
    }
    step(tour.click("pushButton_connect"), "Connect is not available") &&
        step(tour.click("pushButton_SelectSlave"), "Select slave is not available") &&
        step(waitUntil(
                 [&] { return tour.sawMessage(QStringLiteral("Done, connection successful")); }),
             "the sensor was not validated");
    step(tour.save(QStringLiteral("01-connection.png")), "cannot save a picture");

    const auto visit = [&](const char *button, const QString &file) {
        step(tour.click(button), "a page button is not available") &&
            step(tour.save(file), "cannot save a picture");
    };
    visit("pushButton_Settings", QStringLiteral("02-settings.png"));

    // The overlays of a frame live for one rendering, and a page shown for the first time
    // re-renders its plot at its new size. So each application page asks for its own image
    // while it is on screen, as an operator would, and is shot right after it arrived.
    const auto imageOn = [&](const char *page, const char *imageButton,
                             const std::function<bool()> &prepare, const QString &file) {
        if (!step(tour.click(page), "an application page is not available") ||
            !step(prepare(), "a page setting is not available"))
            return;
        tour.forgetMessages();
        step(tour.click(imageButton), "the image button is not available") &&
            step(waitUntil([&] { return tour.sawMessage(QStringLiteral("Done")); }),
                 "no image arrived") &&
            step(tour.save(file), "cannot save a picture");
    };
    // Application 1 with its field of view limited, so that the picture shows the square.
    imageOn(
        "pushButton_Application1", "pushButton_getImage",
        [&] { return tour.click("radioButton_app1LimitFov"); },
        QStringLiteral("03-application1.png"));
    imageOn(
        "pushButton_Application2", "pushButton_app2GetImage", [] { return true; },
        QStringLiteral("04-application2.png"));
    // Regions of 4 x 4 pixels: the default 2 x 2 grid puts 256 labels on the plot, too
    // small to read in a picture of the whole window.
    imageOn(
        "pushButton_Application3", "pushButton_app3GetImage",
        [&] { return tour.choose("comboBox_gridROISize", QStringLiteral("4x4")); },
        QStringLiteral("05-application3.png"));

    step(recordingTour(tour, tmp.filePath(QStringLiteral("recording.csv"))),
         "the recording pictures failed");

    tour.click("pushButton_Connection");
    tour.click("pushButton_Disconnect");
    window.close();
    sim.terminate();
    sim.waitForFinished();
    return status;
}
