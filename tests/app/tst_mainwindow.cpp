#include "about.h"
#include "briscadevice.h"
#include "mainwindow.h"

#include <QAction>
#include <QDesktopServices>
#include <QPushButton>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTest>

// The window shell without a sensor: construction, page navigation and the About menu.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void construction();
    void navigation_data();
    void navigation();
    void uncheckingKeepsThePage();
    void licenseOpensOneDialogAtATime();
    void productPageMinimises();

public slots:
    // Stands in for the desktop's browser.
    void openUrl(const QUrl &url) { m_openedUrls << url; }

private:
    QList<QUrl> m_openedUrls;
};

namespace {
QtMessageHandler s_previousHandler = nullptr;
QStringList s_warnings;

void collectWarnings(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        s_warnings << msg;
    s_previousHandler(type, context, msg);
}

const char *const NavigationButtons[] = {"pushButton_Connection", "pushButton_Settings",
                                         "pushButton_Application1", "pushButton_Application2",
                                         "pushButton_Application3"};

QPushButton *button(const QWidget &window, const char *name)
{
    return window.findChild<QPushButton *>(QLatin1String(name));
}
} // namespace

void tst_MainWindow::construction()
{
    // A handler without its signal (a misspelt object name) is reported by the connection
    // by name, and a handler run during set-up would leave traces on the status bar, the
    // pages or a device object.
    s_warnings.clear();
    s_previousHandler = qInstallMessageHandler(collectWarnings);
    MainWindow window;
    qInstallMessageHandler(s_previousHandler);
    QVERIFY2(s_warnings.isEmpty(), qPrintable(s_warnings.join(QLatin1Char('\n'))));

    QVERIFY(!window.findChild<BriscaDevice *>());
    QVERIFY(window.statusBar()->currentMessage().isEmpty());
    QCOMPARE(window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->currentIndex(),
             0);
    for (const char *name : NavigationButtons)
        QVERIFY2(!button(window, name)->isChecked(), name);
}

void tst_MainWindow::navigation_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::newRow("nothing checked -> settings") << -1 << 1;
    QTest::newRow("connection -> application 3") << 0 << 4;
    QTest::newRow("application 3 -> connection") << 4 << 0;
    QTest::newRow("application 1 -> application 2") << 2 << 3;
    QTest::newRow("settings -> application 1") << 1 << 2;
}

void tst_MainWindow::navigation()
{
    QFETCH(int, from);
    QFETCH(int, to);
    MainWindow window;
    auto *pages = window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
    for (const char *name : NavigationButtons)
        button(window, name)->setEnabled(true);

    if (from >= 0) {
        QTest::mouseClick(button(window, NavigationButtons[from]), Qt::LeftButton);
        QCOMPARE(pages->currentIndex(), from);
    }
    QTest::mouseClick(button(window, NavigationButtons[to]), Qt::LeftButton);
    QCOMPARE(pages->currentIndex(), to);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(button(window, NavigationButtons[i])->isChecked(), i == to);
}

void tst_MainWindow::uncheckingKeepsThePage()
{
    MainWindow window;
    auto *pages = window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
    QPushButton *settings = button(window, "pushButton_Settings");
    settings->setEnabled(true);
    QTest::mouseClick(settings, Qt::LeftButton);
    QTest::mouseClick(settings, Qt::LeftButton);
    QCOMPARE(pages->currentIndex(), 1);
    for (const char *name : NavigationButtons)
        QVERIFY2(!button(window, name)->isChecked(), name);
}

void tst_MainWindow::licenseOpensOneDialogAtATime()
{
    MainWindow window;
    window.show();
    auto *license = window.findChild<QAction *>(QStringLiteral("actionLicense"));
    license->trigger();
    license->trigger();
    QList<About *> dialogs = window.findChildren<About *>();
    QCOMPARE(dialogs.size(), 1);
    QVERIFY(dialogs.first()->isVisible());

    dialogs.first()->accept();
    QTRY_VERIFY(window.findChildren<About *>().isEmpty());
    license->trigger();
    QCOMPARE(window.findChildren<About *>().size(), 1);
}

void tst_MainWindow::productPageMinimises()
{
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl");
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.findChild<QAction *>(QStringLiteral("actionProduct_page"))->trigger();
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));

    QCOMPARE(m_openedUrls.size(), 1);
    QVERIFY(m_openedUrls.first().isValid());
    QTRY_VERIFY(window.windowState() & Qt::WindowMinimized);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
