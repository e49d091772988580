#include "about.h"
#include "briscadevice.h"
#include "image.h"
#include "mainwindow.h"
#include "operatorguide.h"
#include "windowfit.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

// The window without a sensor: construction, its pages, its menus and keys, and its shape on
// the screens operators carry.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void constructionAndNavigation();
    void fittedSize_data();
    void fittedSize();
    void everyPageFitsAFieldLaptop();
    void tabFollowsReadingOrder_data();
    void tabFollowsReadingOrder();
    void menusHaveDistinctMnemonics();
    void licenseAndProductPage();
    void keys();
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

// The window area of a 1366 x 768 screen, less a 32-pixel panel and a 32-pixel title bar.
const QSize Laptop(1366, 704);

const QStringList Navigation = {"pushButton_Connection", "pushButton_Settings",
                                "pushButton_Application1", "pushButton_Application2",
                                "pushButton_Application3"};

QStackedWidget *pages(const MainWindow &window)
{
    return window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
}

QPushButton *button(const QWidget &window, const QString &name)
{
    return window.findChild<QPushButton *>(name);
}

bool showWindow(MainWindow &window, QSize size)
{
    window.resize(size);
    window.show();
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window);
}

} // namespace

void tst_MainWindow::constructionAndNavigation()
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
    QCOMPARE(pages(window)->currentIndex(), 0);

    // Each button shows its page and is the only one checked; unchecking the page's own
    // button keeps the page.
    for (const QString &name : Navigation)
        button(window, name)->setEnabled(true);
    int shown = -1;
    for (int to : {1, 1, 4, 0}) {
        const bool checked = to != shown;
        QTest::mouseClick(button(window, Navigation[to]), Qt::LeftButton);
        QCOMPARE(pages(window)->currentIndex(), to);
        for (int i = 0; i < Navigation.size(); ++i)
            QCOMPARE(button(window, Navigation[i])->isChecked(), i == to && checked);
        shown = checked ? to : -1;
    }
}

void tst_MainWindow::fittedSize_data()
{
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QSize>("fitted");
    QTest::newRow("laptop: shorter") << QRect(0, 32, 1366, 736) << QSize(1132, 696);
    QTest::newRow("narrow: both") << QRect(0, 0, 1024, 600) << QSize(1008, 560);
    QTest::newRow("too small: the minimum") << QRect(0, 0, 800, 480) << QSize(900, 500);
}

void tst_MainWindow::fittedSize()
{
    QFETCH(QRect, available);
    QFETCH(QSize, fitted);
    QCOMPARE(WindowFit::fittedSize(QSize(1132, 896), QSize(900, 500), available), fitted);
}

void tst_MainWindow::everyPageFitsAFieldLaptop()
{
    MainWindow window;
    QVERIFY(showWindow(window, Laptop));
    const QSize minimum = window.minimumSizeHint();
    QVERIFY2(minimum.width() <= Laptop.width() && minimum.height() <= Laptop.height(),
             qPrintable(QStringLiteral("%1 x %2").arg(minimum.width()).arg(minimum.height())));
    for (int index = 0; index < pages(window)->count(); ++index) {
        QWidget *page = pages(window)->widget(index);
        pages(window)->setCurrentIndex(index);
        QCOMPARE(window.size(), Laptop);
        // A page taller than the window scrolls; nothing is squeezed below its size, and
        // nothing needs the operator to scroll sideways.
        auto *area = page->findChild<QScrollArea *>();
        QVERIFY2(area && area->widget(), qPrintable(page->objectName()));
        const QWidget *contents = area->widget();
        QTRY_VERIFY2(contents->height() >= contents->minimumSizeHint().height(),
                     qPrintable(page->objectName()));
        QVERIFY2(area->horizontalScrollBar()->maximum() == 0, qPrintable(page->objectName()));
        // Both axes run over the same 31 units: a square data area means square pixels
        // (at other shapes in the plot's own suite).
        if (auto *plot = page->findChild<image *>()) {
            plot->replot();
            const QRect data = plot->axisRect()->rect();
            QVERIFY2(data.width() == data.height() && data.width() > 300,
                     qPrintable(plot->objectName()));
        }
    }
}

void tst_MainWindow::tabFollowsReadingOrder_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("order");
    QTest::newRow("connection")
        << 0
        << "lineEdit_portname pushButton_findSensors comboBox_baudrate comboBox_parity "
           "pushButton_connect pushButton_Disconnect spinBox_slaveSelect pushButton_SelectSlave "
           "comboBox_baudrateUpdate comboBox_parityUpdate spinBox_slaveAddrUpdate "
           "pushButton_updateSlaveConnectionParams";
    QTest::newRow("settings")
        << 1
        << "radioButton_NoNcEnabled comboBox_outputBehavior comboBox_trasnistorTypeSelection "
           "comboBox_temperatureChoice comboBox_alarmTimerBased spinBox_alarmDuration "
           "spinBox_emissivity radioButton_App1Enable radioButton_App2Enable "
           "radioButton_App3Enable";
    QTest::newRow("application 1")
        << 2
        << "radioButton_frameAverageApps1And3 radioButton_app1LimitFov "
           "doubleSpinBox_app1MinThreshold doubleSpinBox_app1MaxThreshold "
           "pushButton_app1SetNewThresholds pushButton_clearNONCapp1 pushButton_app1UpdateData "
           "pushButton_getImage pushButton_cycleMode";
    QTest::newRow("application 2")
        << 3
        << "comboBox_reticleSize spinBox_movingAverageWindow doubleSpinBox_app2MinThreshold "
           "doubleSpinBox_app2MaxThreshold pushButton_app2SetNewThresholds "
           "pushButton_clearNONCapp1_2 pushButton_app2UpdateData pushButton_app2GetImage "
           "pushButton_cycleMode1";
    QTest::newRow("application 3")
        << 4
        << "comboBox_gridROISize radioButton_frameAverageApps1And3_2 "
           "doubleSpinBox_app3MinThreshold doubleSpinBox_app3MaxThreshold "
           "pushButton_app3SetNewThresholds comboBox_counterType pushButton_resetApp3Counter "
           "pushButton_clearNONCapp1_3 pushButton_app3UpdateData pushButton_app3GetImage "
           "pushButton_cycleMode3";
}

void tst_MainWindow::tabFollowsReadingOrder()
{
    QFETCH(int, page);
    QFETCH(QString, order);
    MainWindow window;
    // As with a validated sensor: every control of the page can take the focus.
    for (QWidget *widget : window.findChildren<QWidget *>())
        widget->setEnabled(true);
    QVERIFY(showWindow(window, Laptop));
    pages(window)->setCurrentIndex(page);

    QWidget *first = button(window, Navigation.first());
    first->setFocus(Qt::TabFocusReason);
    QStringList visited{first->objectName()};
    for (int step = 0; step < 40; ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        if (QApplication::focusWidget() == first)
            break;
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, Navigation + order.split(QLatin1Char(' ')));
}

void tst_MainWindow::menusHaveDistinctMnemonics()
{
    MainWindow window;
    // Within the menu bar and within each menu, every entry has its own letter.
    QString problem;
    QList<QList<QAction *>> lists{window.menuBar()->actions()};
    for (const QAction *entry : window.menuBar()->actions())
        lists << (entry->menu() ? entry->menu()->actions() : QList<QAction *>());
    for (const QList<QAction *> &actions : qAsConst(lists)) {
        QSet<QString> used;
        for (const QAction *action : actions) {
            const QString text = action->text();
            const QString letter = text.mid(text.indexOf(QLatin1Char('&')) + 1, 1).toLower();
            if (action->isSeparator())
                continue;
            if (!text.contains(QLatin1Char('&')) || used.contains(letter))
                problem += action->text() + QLatin1Char(' ');
            used.insert(letter);
        }
    }
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_MainWindow::licenseAndProductPage()
{
    MainWindow window;
    QVERIFY(showWindow(window, Laptop));
    // One licence dialog at a time, and a new one once it is closed.
    auto *license = window.findChild<QAction *>(QStringLiteral("actionLicense"));
    license->trigger();
    license->trigger();
    QCOMPARE(window.findChildren<About *>().size(), 1);
    window.findChild<About *>()->accept();
    QTRY_VERIFY(window.findChildren<About *>().isEmpty());
    license->trigger();
    QCOMPARE(window.findChildren<About *>().size(), 1);
    window.findChild<About *>()->accept();

    // Offscreen, without a handler, nothing can open the product page: its address is shown.
    window.findChild<QAction *>(QStringLiteral("actionProduct_page"))->trigger();
    auto *box = window.findChild<QMessageBox *>(QStringLiteral("productPageMessage"));
    QVERIFY(box);
    QTRY_VERIFY(box->isVisible());
    QVERIFY2(box->text().contains(QStringLiteral("https://")), qPrintable(box->text()));
    QVERIFY(!(window.windowState() & Qt::WindowMinimized));
}

void tst_MainWindow::keys()
{
    MainWindow window;
    QVERIFY(showWindow(window, Laptop));

    // F1: the operator's guide, with every picture it names; pressed again, the same one.
    QTest::keyClick(&window, Qt::Key_F1);
    auto *guide = window.findChild<OperatorGuide *>();
    QVERIFY(guide);
    QTRY_VERIFY(guide->isVisible());
    int pictures = 0;
    for (QTextBlock block = guide->document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFormat format = it.fragment().charFormat();
            if (!format.isImageFormat())
                continue;
            const QString name = format.toImageFormat().name();
            const QVariant picture =
                guide->document()->resource(QTextDocument::ImageResource, QUrl(name));
            QVERIFY2(!qvariant_cast<QImage>(picture).isNull(), qPrintable(name));
            ++pictures;
        }
    }
    QVERIFY(pictures >= 5);
    QTest::keyClick(&window, Qt::Key_F1);
    QCOMPARE(window.findChildren<OperatorGuide *>().size(), 1);

    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    QTRY_VERIFY(!window.isVisible());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
