#include "image.h"
#include "mainwindow.h"
#include "operatorguide.h"
#include "windowfit.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

// The window on the screens operators carry, and its keyboard: no sensor needed.
class tst_Layout : public QObject
{
    Q_OBJECT

private slots:
    void fittedSize_data();
    void fittedSize();
    void everyPageFitsAFieldLaptop();
    void plotPixelsAreSquare();
    void tabFollowsReadingOrder_data();
    void tabFollowsReadingOrder();
    void menusHaveDistinctMnemonics();
    void keys();
    void productPageWithoutABrowserSaysSo();
};

namespace {

// The window area of a 1366 x 768 screen, less a 32-pixel panel and a 32-pixel title bar,
// and that of a full HD screen.
const QSize Laptop(1366, 704);
const QSize Large(1920, 1016);

const QStringList Navigation = {"pushButton_Connection", "pushButton_Settings",
                                "pushButton_Application1", "pushButton_Application2",
                                "pushButton_Application3"};

QStackedWidget *pages(const MainWindow &window)
{
    return window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
}

bool showWindow(MainWindow &window, QSize size)
{
    window.resize(size);
    window.show();
    return QTest::qWaitForWindowExposed(&window);
}

} // namespace

void tst_Layout::fittedSize_data()
{
    QTest::addColumn<QSize>("wanted");
    QTest::addColumn<QSize>("minimum");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QSize>("fitted");
    QTest::newRow("laptop: shorter")
        << QSize(1132, 896) << QSize(900, 500) << QRect(0, 32, 1366, 736) << QSize(1132, 696);
    QTest::newRow("large screen: as designed")
        << QSize(1132, 896) << QSize(900, 500) << QRect(0, 0, 1920, 1050) << QSize(1132, 896);
    QTest::newRow("narrow: both") << QSize(1132, 896) << QSize(900, 500) << QRect(0, 0, 1024, 600)
                                  << QSize(1008, 560);
    QTest::newRow("too small: the minimum")
        << QSize(1132, 896) << QSize(900, 500) << QRect(0, 0, 800, 480) << QSize(900, 500);
}

void tst_Layout::fittedSize()
{
    QFETCH(QSize, wanted);
    QFETCH(QSize, minimum);
    QFETCH(QRect, available);
    QFETCH(QSize, fitted);
    QCOMPARE(WindowFit::fittedSize(wanted, minimum, available), fitted);
}

void tst_Layout::everyPageFitsAFieldLaptop()
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
        // (The page lays itself out once shown.)
        QTRY_VERIFY2(contents->height() >= contents->minimumSizeHint().height(),
                     qPrintable(page->objectName()));
        QVERIFY2(area->horizontalScrollBar()->maximum() == 0, qPrintable(page->objectName()));
    }
}

void tst_Layout::plotPixelsAreSquare()
{
    MainWindow window;
    const char *const plots[] = {"tempPlot_app1", "tempPlot_app2", "tempPlot_app3"};
    QMap<QString, int> laptopSide;
    for (const QSize &size : {Laptop, Large}) {
        QVERIFY(showWindow(window, size));
        for (int page = 0; page < 3; ++page) {
            pages(window)->setCurrentIndex(2 + page);
            QCoreApplication::processEvents();
            auto *plot = window.findChild<image *>(QLatin1String(plots[page]));
            plot->replot();
            // Both axes run over the same 31 units, so a square data area means square pixels.
            const QRect data = plot->axisRect()->rect();
            QVERIFY2(data.width() == data.height() && data.width() > 300,
                     qPrintable(QStringLiteral("%1 at %2 x %3: %4 x %5")
                                    .arg(QLatin1String(plots[page]))
                                    .arg(size.width())
                                    .arg(size.height())
                                    .arg(data.width())
                                    .arg(data.height())));
            if (size == Laptop)
                laptopSide[QLatin1String(plots[page])] = data.width();
            else // the large screen is put to use
                QVERIFY(data.width() > laptopSide.value(QLatin1String(plots[page])) + 100);
        }
    }
}

void tst_Layout::tabFollowsReadingOrder_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("connection") << 0
                                << QStringList{"lineEdit_portname",
                                               "pushButton_findSensors",
                                               "comboBox_baudrate",
                                               "comboBox_parity",
                                               "pushButton_connect",
                                               "pushButton_Disconnect",
                                               "spinBox_slaveSelect",
                                               "pushButton_SelectSlave",
                                               "comboBox_baudrateUpdate",
                                               "comboBox_parityUpdate",
                                               "spinBox_slaveAddrUpdate",
                                               "pushButton_updateSlaveConnectionParams"};
    QTest::newRow("settings") << 1 << QStringList{"radioButton_NoNcEnabled",
                                                  "comboBox_outputBehavior",
                                                  "comboBox_trasnistorTypeSelection",
                                                  "comboBox_temperatureChoice",
                                                  "comboBox_alarmTimerBased",
                                                  "spinBox_alarmDuration",
                                                  "spinBox_emissivity",
                                                  "radioButton_App1Enable",
                                                  "radioButton_App2Enable",
                                                  "radioButton_App3Enable"};
    QTest::newRow("application 1") << 2
                                   << QStringList{"radioButton_frameAverageApps1And3",
                                                  "radioButton_app1LimitFov",
                                                  "doubleSpinBox_app1MinThreshold",
                                                  "doubleSpinBox_app1MaxThreshold",
                                                  "pushButton_app1SetNewThresholds",
                                                  "pushButton_clearNONCapp1",
                                                  "pushButton_app1UpdateData",
                                                  "pushButton_getImage",
                                                  "pushButton_cycleMode"};
    QTest::newRow("application 2") << 3
                                   << QStringList{"comboBox_reticleSize",
                                                  "spinBox_movingAverageWindow",
                                                  "doubleSpinBox_app2MinThreshold",
                                                  "doubleSpinBox_app2MaxThreshold",
                                                  "pushButton_app2SetNewThresholds",
                                                  "pushButton_clearNONCapp1_2",
                                                  "pushButton_app2UpdateData",
                                                  "pushButton_app2GetImage",
                                                  "pushButton_cycleMode1"};
    QTest::newRow("application 3") << 4
                                   << QStringList{"comboBox_gridROISize",
                                                  "radioButton_frameAverageApps1And3_2",
                                                  "doubleSpinBox_app3MinThreshold",
                                                  "doubleSpinBox_app3MaxThreshold",
                                                  "pushButton_app3SetNewThresholds",
                                                  "comboBox_counterType",
                                                  "pushButton_resetApp3Counter",
                                                  "pushButton_clearNONCapp1_3",
                                                  "pushButton_app3UpdateData",
                                                  "pushButton_app3GetImage",
                                                  "pushButton_cycleMode3"};
}

void tst_Layout::tabFollowsReadingOrder()
{
    QFETCH(int, page);
    QFETCH(QStringList, order);
    MainWindow window;
    QVERIFY(showWindow(window, Laptop));
    // As with a validated sensor: every control of the page can take the focus.
    for (QWidget *widget : window.findChildren<QWidget *>())
        widget->setEnabled(true);
    pages(window)->setCurrentIndex(page);
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    QWidget *first = window.findChild<QWidget *>(Navigation.first());
    first->setFocus(Qt::TabFocusReason);
    QStringList visited{first->objectName()};
    for (int step = 0; step < 40; ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        if (QApplication::focusWidget() == first)
            break;
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, Navigation + order);
}

void tst_Layout::menusHaveDistinctMnemonics()
{
    MainWindow window;
    // Within the menu bar and within each menu, every entry has its own letter.
    const auto letters = [](const QList<QAction *> &actions, QString *problem) {
        QSet<QChar> used;
        for (const QAction *action : actions) {
            if (action->isSeparator())
                continue;
            const QString text = action->text();
            const int at = text.indexOf(QLatin1Char('&'));
            const QChar letter =
                at >= 0 && at + 1 < text.size() ? text.at(at + 1).toLower() : QChar();
            if (letter.isNull() || used.contains(letter))
                *problem += text + QLatin1Char(' ');
            used.insert(letter);
        }
    };
    QString problem;
    letters(window.menuBar()->actions(), &problem);
    for (const QAction *entry : window.menuBar()->actions()) {
        if (entry->menu())
            letters(entry->menu()->actions(), &problem);
    }
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
}

void tst_Layout::keys()
{
    MainWindow window;
    QVERIFY(showWindow(window, Laptop));
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    // F1: the operator's guide, with every picture it names.
    QTest::keyClick(&window, Qt::Key_F1);
    auto *guide = window.findChild<OperatorGuide *>();
    QVERIFY(guide);
    QTRY_VERIFY(guide->isVisible());
    QVERIFY(guide->toPlainText().contains(QStringLiteral("operator's guide")));
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
    // Pressed again, the guide already open comes forward; there is still one.
    QTest::keyClick(&window, Qt::Key_F1);
    QCOMPARE(window.findChildren<OperatorGuide *>().size(), 1);

    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    QTRY_VERIFY(!window.isVisible());
}

void tst_Layout::productPageWithoutABrowserSaysSo()
{
    // No browser on this platform (offscreen) and no handler: nothing can open the page.
    MainWindow window;
    QVERIFY(showWindow(window, Laptop));
    window.findChild<QAction *>(QStringLiteral("actionProduct_page"))->trigger();
    auto *box = window.findChild<QMessageBox *>(QStringLiteral("productPageMessage"));
    QVERIFY(box);
    QTRY_VERIFY(box->isVisible());
    QVERIFY2(box->text().contains(QStringLiteral("https://")), qPrintable(box->text()));
    QVERIFY(!(window.windowState() & Qt::WindowMinimized));
}

QTEST_MAIN(tst_Layout)
#include "tst_layout.moc"
