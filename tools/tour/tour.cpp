// brisca-tour OUTDIR
//
// Starts the virtual sensor on a fresh pseudo-terminal, opens the main window and goes
// through it as an operator would: types the port name, presses Connect and Select slave,
// opens every page, asks for an image on each application page, and saves a PNG of each
// page into OUTDIR. The pictures in docs/screenshots come from here. Set BRISCA_SIM to use
// another simulator binary.
//
// 01-05 show the pages at the size of a field laptop's screen, 20-24 at a large one; 25-29
// show what the window says when the sensor falls silent or the line goes away, before the
// first image, and when hovering a pixel.

#include "briscadevice.h"
#include "briscaregisters.h"
#include "configurationactions.h"
#include "configurationloaddialog.h"
#include "findsensorsdialog.h"
#include "image.h"
#include "linkstateindicator.h"
#include "linkstatisticsdialog.h"
#include "mainwindow.h"
#include "portchooser.h"
#include "recordingcontroller.h"
#include "replaywindow.h"
#include "trendswindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolTip>
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
    bool sawMessageStarting(const QString &start) const
    {
        for (const QString &text : m_messages) {
            if (text.startsWith(start))
                return true;
        }
        return false;
    }
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
        // A tool tip is a window of its own; it is painted in where the operator sees it.
        for (QWidget *top : QApplication::topLevelWidgets()) {
            if (top->inherits("QTipLabel") && top->isVisible()) {
                QPainter painter(&picture);
                painter.drawPixmap(top->geometry().topLeft() - widget.geometry().topLeft(),
                                   top->grab());
            }
        }
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

// Tools → Save, then Load of an edited copy: the differences before anything is written
// (40) and the result once the sensor has been read back (41).
bool configurationPictures(MainWindow &window, const QString &outDir, const QString &tmpDir)
{
    auto *actions = window.findChild<ConfigurationActions *>();
    if (!actions || !actions->loadAction()->isEnabled())
        return false;
    const QString path = QDir(tmpDir).filePath(QStringLiteral("site-a.json"));
    actions->saveTo(path);
    QFile file(path);
    if (!waitUntil([&] { return file.exists(); }) || !file.open(QIODevice::ReadOnly))
        return false;
    QJsonObject json = QJsonDocument::fromJson(file.readAll()).object();
    file.close();
    // As a site's file would differ from a replacement sensor fresh from the factory.
    QJsonObject settings = json.value(QStringLiteral("settings")).toObject();
    settings.insert(QStringLiteral("no_nc_output.enabled"), true);
    settings.insert(QStringLiteral("emissivity"), 92);
    settings.insert(QStringLiteral("app1.upper_threshold"), 65.5);
    settings.insert(QStringLiteral("app2.centered_area"), 8);
    settings.insert(QStringLiteral("temperature_choice"), QStringLiteral("hot and cold"));
    json.insert(QStringLiteral("settings"), settings);
    json.insert(QStringLiteral("bus"), QJsonObject{{QStringLiteral("slave_address"), 12}});
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(QJsonDocument(json).toJson());
    file.close();

    ConfigurationLoadDialog *dialog = actions->loadFrom(path);
    if (!dialog || !waitUntil([&] { return dialog->writeButton()->isEnabled(); }))
        return false;
    QTest::qWait(200);
    const auto shoot = [&](const QString &name) {
        const QString shot = QDir(outDir).filePath(name);
        if (!dialog->grab().save(shot, "PNG"))
            return false;
        std::printf("%s\n", qPrintable(shot));
        return true;
    };
    if (!shoot(QStringLiteral("40-configuration-differences.png")))
        return false;
    dialog->writeButton()->click();
    if (!waitUntil([&] { return !dialog->isWriting(); }))
        return false;
    QTest::qWait(200);
    const bool saved = shoot(QStringLiteral("41-configuration-verified.png"));
    dialog->close();
    return saved;
}

// Saves what the screen shows of `area`: a menu that is open is a window of its own, which
// grabbing the main window would leave out.
bool saveScreen(const QString &outDir, const QString &name, const QRect &area)
{
    QTest::qWait(200);
    const QString path = QDir(outDir).filePath(name);
    if (!QGuiApplication::primaryScreen()
             ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
             .save(path, "PNG"))
        return false;
    std::printf("%s\n", qPrintable(path));
    return true;
}

// Pictures 10 to 19: the link statistics after the tour's images, the port list open, and
// Find sensors with what it found on the virtual sensor's line. Starts connected and
// validated on the connection page; leaves the port closed.
void findSensorsTour(Tour &tour, MainWindow &window, const QString &outDir, const QString &link,
                     const std::function<bool(bool, const char *)> &step)
{
    auto *statistics = tour.widget<QAction>("actionLink_statistics");
    if (step(statistics && statistics->isEnabled(), "no Link statistics entry")) {
        statistics->trigger();
        auto *dialog = window.findChild<LinkStatisticsDialog *>();
        if (step(dialog && QTest::qWaitForWindowExposed(dialog), "no statistics dialog")) {
            QTest::qWait(300);
            const QString path = QDir(outDir).filePath(QStringLiteral("12-link-statistics.png"));
            step(dialog->grab().save(path, "PNG"), "cannot save a picture");
            std::printf("%s\n", qPrintable(path));
            dialog->close();
        }
    }

    step(tour.click("pushButton_Disconnect"), "Disconnect is not available");
    auto *chooser = window.findChild<PortChooser *>();
    if (step(chooser != nullptr, "no port list")) {
        chooser->action()->trigger();
        if (step(waitUntil([chooser] { return chooser->menu()->isVisible(); }),
                 "the port list did not open")) {
            QRect area = window.frameGeometry().united(chooser->menu()->geometry());
            area.setHeight(std::min(area.height(), chooser->menu()->geometry().bottom() + 40));
            step(saveScreen(outDir, QStringLiteral("10-port-list.png"), area),
                 "cannot save a picture");
            chooser->menu()->hide();
        }
    }

    if (!step(tour.click("pushButton_findSensors"), "no Find sensors button"))
        return;
    auto *dialog = window.findChild<FindSensorsDialog *>();
    if (!step(dialog && QTest::qWaitForWindowExposed(dialog), "no Find sensors dialog"))
        return;
    dialog->findChild<QLineEdit *>(QStringLiteral("port"))->setText(link);
    // Two rates and the first addresses keep the tour short; the dialog offers all 13.
    const auto boxes = dialog->findChildren<QCheckBox *>();
    for (QCheckBox *box : boxes) {
        const bool rate = box->text().toInt() > 0;
        box->setChecked(!rate || box->text() == QLatin1String("19200") ||
                        box->text() == QLatin1String("9600"));
    }
    dialog->findChild<QSpinBox *>(QStringLiteral("to"))->setValue(12);
    bool finished = false;
    QObject::connect(dialog->scanner(), &BriscaScanner::finished, dialog,
                     [&finished] { finished = true; });
    dialog->findChild<QPushButton *>(QStringLiteral("scan"))->click();
    if (step(waitUntil([&finished] { return finished; }, 60000), "the scan did not end")) {
        QTest::qWait(300);
        const QString path = QDir(outDir).filePath(QStringLiteral("11-find-sensors.png"));
        step(dialog->grab().save(path, "PNG"), "cannot save a picture");
        std::printf("%s\n", qPrintable(path));
    }
    dialog->close();
}

// The window area a 1366 x 768 laptop screen leaves (less a panel and a title bar), and
// that of a full HD screen.
const QSize Laptop(1366, 704);
const QSize Large(1920, 1016);

// The virtual sensor of the tour, with its control lines.
class Sensor
{
public:
    Sensor(const QString &program, const QStringList &arguments)
        : m_program(program)
        , m_arguments(arguments)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    ~Sensor() { stop(); }

    bool start()
    {
        m_process.start(m_program, m_arguments);
        return m_process.waitForStarted() && waitUntil([&] { return m_process.canReadLine(); }) &&
               m_process.readLine().startsWith("ready");
    }
    // One control line ("fault silent", "clear", "hangup"), answered by "ok".
    bool command(const QByteArray &line)
    {
        m_process.write(line + '\n');
        return waitUntil([&] { return m_process.canReadLine(); }) &&
               m_process.readLine().startsWith("ok");
    }
    bool waitForEnd()
    {
        return waitUntil([&] { return m_process.state() == QProcess::NotRunning; });
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        m_process.waitForFinished();
    }

private:
    QString m_program;
    QStringList m_arguments;
    QProcess m_process;
};

// The pictures of the window at a large size, of old values after a silent sensor and a
// lost link, and of the hover note (20-27, 29); 28 is taken before the first image.
void liveTour(Tour &tour, MainWindow &window, Sensor &sensor,
              const std::function<bool(bool, const char *)> &step)
{
    const auto fresh = [&](const char *imageButton) {
        tour.forgetMessages();
        return step(tour.click(imageButton), "the image button is not available") &&
               step(waitUntil([&] { return tour.sawMessage(QStringLiteral("Done")); }),
                    "no image arrived");
    };
    const auto page = [&](const char *button) {
        // Clicking the page shown would uncheck its button.
        auto *b = tour.widget<QAbstractButton>(button);
        return step(b && (b->isChecked() || tour.click(button)), "a page is not available");
    };

    window.resize(Large);
    page("pushButton_Connection") && step(tour.save("20-connection-large.png"), "no picture");
    page("pushButton_Settings") && step(tour.save("21-settings-large.png"), "no picture");
    page("pushButton_Application1") && fresh("pushButton_getImage") &&
        step(tour.save("22-application1-large.png"), "no picture");
    page("pushButton_Application2") && fresh("pushButton_app2GetImage") &&
        step(tour.save("23-application2-large.png"), "no picture");
    page("pushButton_Application3") && fresh("pushButton_app3GetImage") &&
        step(tour.save("24-application3-large.png"), "no picture");

    // Hovering the hottest pixel of Application 1.
    window.resize(Laptop);
    if (page("pushButton_Application1") && fresh("pushButton_getImage")) {
        auto *plot = tour.widget<image>("tempPlot_app1");
        auto *device = window.findChild<BriscaDevice *>();
        if (step(plot && device, "no plot or no sensor link")) {
            double key = 0;
            double value = 0;
            plot->colorMap->data()->cellToCoord(Brisca::positionFirst(device->app1MaxPosition),
                                                Brisca::positionSecond(device->app1MaxPosition),
                                                &key, &value);
            const QPoint at(qRound(plot->xAxis->coordToPixel(key)),
                            qRound(plot->yAxis->coordToPixel(value)));
            QMouseEvent move(QEvent::MouseMove, at, plot->mapToGlobal(at), Qt::NoButton,
                             Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(plot, &move);
            step(tour.save("29-hover.png"), "no picture");
            QToolTip::hideText();
        }
    }

    // The sensor falls silent while the operator asks for an image.
    const auto indicatorSays = [&](const QString &start) {
        auto *indicator = window.findChild<LinkStateIndicator *>();
        return waitUntil([&] { return indicator && indicator->text().contains(start); });
    };
    if (step(sensor.command("fault silent"), "the sensor took no fault")) {
        tour.click("pushButton_getImage");
        step(indicatorSays(QStringLiteral("Not answering since")), "the silence went unnoticed") &&
            step(tour.save("25-not-answering.png"), "no picture");
        tour.forgetMessages();
        step(sensor.command("clear"), "the sensor kept its fault");
        step(waitUntil([&] { return tour.sawMessage(QStringLiteral("Done")); }),
             "no image after the silence");
    }

    // The line goes away, and a sensor comes back on the same path.
    page("pushButton_Application3") && fresh("pushButton_app3GetImage");
    tour.forgetMessages();
    if (step(sensor.command("hangup"), "the sensor did not hang up")) {
        step(indicatorSays(QStringLiteral("Link lost at")), "the lost link went unnoticed") &&
            step(tour.save("26-link-lost.png"), "no picture");
        step(sensor.waitForEnd() && sensor.start(), "the sensor did not come back");
        tour.forgetMessages();
        page("pushButton_Connection");
        step(tour.click("pushButton_connect"), "Connect is not available") &&
            step(tour.click("pushButton_SelectSlave"), "Select slave is not available") &&
            step(waitUntil([&] {
                     return tour.sawMessage(QStringLiteral("Done, connection successful"));
                 }),
                 "the sensor was not validated again");
        page("pushButton_Application3") && step(tour.save("27-new-session.png"), "no picture");
    }
}

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

    // One frame for the whole tour: the measurements then name the very pixels the hover
    // and the marks show.
    Sensor sim(simPath, {QStringLiteral("--link"), link, QStringLiteral("--pattern"),
                         QStringLiteral("scene"), QStringLiteral("--seed"), QStringLiteral("7"),
                         QStringLiteral("--fps"), QStringLiteral("0")});
    if (!sim.start())
        return fail("the virtual sensor did not start");

    MainWindow window;
    // The pages as a field laptop shows them.
    window.resize(Laptop);
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
    // Before the first image, the plot says it has no sensor data yet.
    visit("pushButton_Application2", QStringLiteral("28-no-image-yet.png"));

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

    step(configurationPictures(window, outDir, tmp.path()), "the configuration dialog failed");
    step(recordingTour(tour, tmp.filePath(QStringLiteral("recording.csv"))),
         "the recording pictures failed");

    // Find sensors needs the port and ends with it closed: it comes last.
    liveTour(tour, window, sim, step);
    auto *connection = tour.widget<QAbstractButton>("pushButton_Connection");
    if (connection && !connection->isChecked())
        tour.click("pushButton_Connection");
    findSensorsTour(tour, window, outDir, link, step);
    tour.click("pushButton_Disconnect");
    window.close();
    sim.stop();
    return status;
}
