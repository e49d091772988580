// brisca-tour OUTDIR
//
// Starts the virtual sensor on a fresh pseudo-terminal, opens the main window and goes
// through it as an operator would: types the port name, presses Connect and Select slave,
// opens every page, grabs one image, and saves a PNG of each page into OUTDIR. The pictures
// in docs/screenshots come from here. Set BRISCA_SIM to use another simulator binary.

#include "mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

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
        QTest::mouseClick(button, Qt::LeftButton);
        return true;
    }

    bool sawMessage(const QString &text) const { return m_messages.contains(text); }
    void forgetMessages() { m_messages.clear(); }

    bool save(const QString &name)
    {
        // Let queued repaints (the plots repaint on the next event loop turn) land first.
        QTest::qWait(200);
        const QString path = QDir(m_outDir).filePath(name);
        if (!m_window.grab().save(path, "PNG"))
            return false;
        std::printf("%s\n", qPrintable(path));
        return true;
    }

private:
    MainWindow &m_window;
    QString m_outDir;
    QStringList m_messages;
};

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

    QTemporaryDir tmp;
    const QString link = tmp.filePath(QStringLiteral("brisca-tty"));
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

    // One image, drawn on the three application pages at once.
    if (step(tour.click("pushButton_Application1"), "Application 1 is not available")) {
        tour.forgetMessages();
        step(tour.click("pushButton_getImage"), "the image button is not available") &&
            step(waitUntil([&] { return tour.sawMessage(QStringLiteral("Done")); }),
                 "no image arrived");
        step(tour.save(QStringLiteral("03-application1.png")), "cannot save a picture");
    }
    visit("pushButton_Application2", QStringLiteral("04-application2.png"));
    visit("pushButton_Application3", QStringLiteral("05-application3.png"));

    tour.click("pushButton_Connection");
    tour.click("pushButton_Disconnect");
    window.close();
    sim.terminate();
    sim.waitForFinished();
    return status;
}
