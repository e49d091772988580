#include "briscadevice.h"
#include "image.h"
#include "mainwindow.h"
#include "windowdriver.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QJsonArray>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>

// The three application pages against the virtual sensor: thresholds, measurements,
// options, and single images drawn on the three plots.
class tst_MainWindowApplications : public QObject
{
    Q_OBJECT

private slots:
    void thresholds_data();
    void thresholds();
    void measurementLabels_data();
    void measurementLabels();
    void imageOnAllPlots_data();
    void imageOnAllPlots();
    void regionLabelsFromNewestRead();
    void gridCodeWithoutGrid_data();
    void gridCodeWithoutGrid();
    void limitFieldOfViewRedraws();
    void pageOptionWrites_data();
    void pageOptionWrites();
    void frameAverageButtonsMirror();
    void resetCounterShowsZeroAtOnce();
};

namespace {

// What one plot showed in the rendering of one frame, taken before its overlays go.
struct Rendering
{
    QList<QRectF> squares; // left, bottom, right, top in axis coordinates
    QStringList labels;
    QList<QColor> labelColours;
    QVector<double> cells; // 32 x 32, index 32 * key + value
    QStringList extremes;  // the notes of Application 1's marked pixels, each one cell wide
};

Rendering capture(image *plot)
{
    Rendering r;
    for (int i = 0; i < plot->itemCount(); ++i) {
        QCPAbstractItem *item = plot->item(i);
        if (auto *rect = qobject_cast<QCPItemRect *>(item)) {
            const QPointF tl = rect->topLeft->coords();
            const QPointF br = rect->bottomRight->coords();
            if (br.x() - tl.x() >= 1) // not the outline of a marked pixel
                r.squares << QRectF(QPointF(tl.x(), br.y()), QPointF(br.x(), tl.y()));
        } else if (auto *text = qobject_cast<QCPItemText *>(item)) {
            if (text->text() == QLatin1String("min") || text->text() == QLatin1String("max")) {
                r.extremes << text->text();
                continue;
            }
            r.labels << text->text();
            r.labelColours << text->color();
        }
    }
    auto *map = qobject_cast<QCPColorMap *>(plot->plottable(0));
    for (int x = 0; x < 32; ++x) {
        for (int y = 0; y < 32; ++y)
            r.cells << map->data()->cell(x, y);
    }
    return r;
}

// A frame whose every element is told apart: 20.0 degrees plus a tenth per element.
QJsonArray inputWithFrame(const QVector<int> &roi = {})
{
    QJsonArray input;
    for (int a = 0; a < 1305; ++a) {
        int v = 0;
        if (a >= 281)
            v = 2931 + (a - 281);
        else if (a >= 25 && a - 25 < roi.size())
            v = roi.at(a - 25);
        input.append(v);
    }
    return input;
}

// Every plot is rendered once per frame; the captures are taken inside the frame signal,
// right after the window has drawn it.
class FrameRecorder
{
public:
    FrameRecorder(WindowDriver &driver)
        : m_driver(driver)
    {
        QObject::connect(
            driver.device(), &BriscaDevice::pixelDataReady, driver.device(),
            [this](const QVector<quint16> &frame) {
                frames << frame;
                for (const char *name : {"tempPlot_app1", "tempPlot_app2", "tempPlot_app3"})
                    renderings << capture(m_driver.child<image>(name));
                roiLeft = m_driver.device()->roiTemperatures.size();
            });
    }

    QList<QVector<quint16>> frames;
    QList<Rendering> renderings; // three per frame
    int roiLeft = -1;

private:
    WindowDriver &m_driver;
};

double shown(quint16 raw)
{
    // As the plots show a raw value: single-precision division, then the offset.
    return double(float(double(float(raw) / 10.0f) - 273.15));
}

QRectF centredSquare(int side)
{
    const double lo = (16 - side / 2) * 31 * 0.03125;
    const double hi = (16 + side / 2) * 31 * 0.03125;
    return QRectF(QPointF(lo, lo), QPointF(hi, hi));
}

} // namespace

void tst_MainWindowApplications::thresholds_data()
{
    QTest::addColumn<int>("page");
    QTest::newRow("application 1") << 1;
    QTest::newRow("application 2") << 2;
    QTest::newRow("application 3") << 3;
}

void tst_MainWindowApplications::thresholds()
{
    QFETCH(int, page);
    WindowDriver driver;
    // "Hot": the minimum editor is disabled and still sends what it shows.
    QVERIFY(driver.start(WindowDriver::quietMap()));
    QVERIFY(driver.connectAndSelect());
    const QByteArray prefix = "doubleSpinBox_app" + QByteArray::number(page);
    auto *maximum = driver.child<QDoubleSpinBox>(prefix + "MaxThreshold");
    auto *minimum = driver.child<QDoubleSpinBox>(prefix + "MinThreshold");
    QVERIFY(!minimum->isEnabled());
    maximum->setValue(25.0);
    minimum->setValue(-20.0);

    driver.child<QPushButton>("pushButton_app" + QByteArray::number(page) + "SetNewThresholds")
        ->click();
    QVERIFY(driver.settle());

    // One request, both registers, the maximum first: 2981 and 2531.
    const int start = 2 * page;
    const QString expected = QStringLiteral("0110%1%2%3")
                                 .arg(start, 4, 16, QLatin1Char('0'))
                                 .arg(QStringLiteral("000204"))
                                 .arg(QStringLiteral("%1%2")
                                          .arg(2981, 4, 16, QLatin1Char('0'))
                                          .arg(2531, 4, 16, QLatin1Char('0')));
    const QStringList writes = driver.writesSince(0);
    QCOMPARE(writes.size(), 1);
    QVERIFY2(writes.first().startsWith(expected), qPrintable(writes.first()));
    const QVector<int> holding = driver.sim().stateArray("holding");
    QCOMPARE(holding.value(start), 2981);
    QCOMPARE(holding.value(start + 1), 2531);
    // The echo shows what the sensor now holds.
    QCOMPARE(maximum->value(), 25.0);
    QCOMPARE(minimum->value(), -20.0);
}

void tst_MainWindowApplications::measurementLabels_data()
{
    QTest::addColumn<int>("breachRaw");
    QTest::addColumn<QString>("breachText");
    QTest::addColumn<bool>("alarm");
    QTest::newRow("no breach") << 0 << "N/A" << true;
    QTest::newRow("raw 1") << 1 << "-273.0" << false;
    QTest::newRow("31.4") << 3045 << "31.4" << true;
}

void tst_MainWindowApplications::measurementLabels()
{
    QFETCH(int, breachRaw);
    QFETCH(QString, breachText);
    QFETCH(bool, alarm);

    QJsonArray input = {2981, 0x1E0C, 3103, 0x0305, 2932};
    for (int a = 5; a < 21; ++a)
        input.append(0);
    input.append(breachRaw);
    input.append(17);
    input.append(42);
    input.append(2531);
    QJsonObject map = WindowDriver::quietMap();
    map.insert("input", input);
    map.insert("discrete_inputs", QJsonArray{0, 0, alarm, !alarm, alarm});
    WindowDriver driver;
    QVERIFY(driver.start(map));
    QVERIFY(driver.connectAndSelect());

    QSignalSpy discrete(driver.device(), &BriscaDevice::discreteInputsDataReady);
    driver.child<QPushButton>("pushButton_app1UpdateData")->click();
    QVERIFY(driver.settle());
    QVERIFY(!discrete.isEmpty());

    QCOMPARE(driver.child<QLabel>("label_app1MeasuredMin")->text(), QString("25.0"));
    QCOMPARE(driver.child<QLabel>("label_app1MinCoordinates")->text(), QString("(12,30)"));
    QCOMPARE(driver.child<QLabel>("label_app1MeasuredMax")->text(), QString("37.1"));
    QCOMPARE(driver.child<QLabel>("label_app1MaxCoordinates")->text(), QString("(5,3)"));
    QCOMPARE(driver.child<QLabel>("label_app1MeasuredAvg")->text(), QString("20.1"));
    QCOMPARE(driver.child<QLabel>("label_app2MeasuredAvg")->text(), QString("-20.0"));
    QCOMPARE(driver.child<QLabel>("label_app3HighestBreachTemp")->text(), breachText);
    QCOMPARE(driver.child<QLabel>("label_app3PageHighestBreachCoords")->text(), QString("17"));
    QCOMPARE(driver.child<QLabel>("label_app3CounterValue")->text(), QString("42"));

    const struct
    {
        const char *label;
        bool on;
        const char *red;
        const char *green;
    } states[] = {{"label_app1PageApplicationOneStatus", alarm, "QLabel { color : #ff0000; }",
                   "QLabel {color : #1e8e3e; }"},
                  {"label_app2PageApplicationTwoStatus", !alarm, "QLabel {color : #ff0000; }",
                   "QLabel {color : #1e8e3e; }"},
                  {"label_app3PageApplicationThreeStatus", alarm, "QLabel { color : #ff0000; }",
                   "QLabel { color : #1e8e3e; }"}};
    for (const auto &s : states) {
        QCOMPARE(driver.child<QLabel>(s.label)->text(), QString(s.on ? "TRUE" : "FALSE"));
        QCOMPARE(driver.child<QLabel>(s.label)->styleSheet(), QString(s.on ? s.red : s.green));
    }
}

void tst_MainWindowApplications::imageOnAllPlots_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::newRow("application 1") << QByteArray("pushButton_getImage");
    QTest::newRow("application 2") << QByteArray("pushButton_app2GetImage");
    QTest::newRow("application 3") << QByteArray("pushButton_app3GetImage");
}

void tst_MainWindowApplications::imageOnAllPlots()
{
    QFETCH(QByteArray, button);

    // Limited field of view, 6 x 6 centred area, 8 x 8 regions; application 3 thresholds
    // 5.0 and 40.0 degrees. Four regions get a temperature: cold, normal, equal to the
    // upper limit, hot.
    QJsonObject map = WindowDriver::quietMap();
    map = WindowDriver::withValue(map, "coils", 9, 1);
    map = WindowDriver::withValue(map, "holding", 10, 6);
    map = WindowDriver::withValue(map, "holding", 12, 3);
    map.insert("input", inputWithFrame({2741, 0, 2981, 3131, 3231}));
    WindowDriver driver;
    QVERIFY(driver.start(map));
    QVERIFY(driver.connectAndSelect());
    FrameRecorder recorder(driver);
    const int mark = driver.mark();

    driver.child<QPushButton>(button)->click();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.frames.size(), 1, 10000);
    QCOMPARE(driver.window().statusBar()->currentMessage(), QString("Done"));
    QVERIFY(driver.settle());
    // One frame: the first chunk from register 281 and the last, 24 registers from 1281.
    const QStringList reads = driver.requestsSince(mark, 4);
    QCOMPARE(reads.filter(QRegularExpression("^01040119007d")).size(), 1);
    QCOMPARE(reads.filter(QRegularExpression("^010405010018")).size(), 1);
    QCOMPARE(recorder.frames.size(), 1);

    const QVector<quint16> frame = recorder.frames.first();
    QCOMPARE(frame.size(), 1024);
    QCOMPARE(frame.first(), quint16(2931));
    QCOMPARE(frame.last(), quint16(2931 + 1023));
    for (const Rendering &r : recorder.renderings) {
        QCOMPARE(r.cells.size(), 1024);
        for (int i : {0, 31, 32, 1023})
            QCOMPARE(r.cells.at(i), shown(frame.at(i)));
    }

    const Rendering &app1 = recorder.renderings.at(0);
    QCOMPARE(app1.squares, QList<QRectF>{centredSquare(20)});
    QCOMPARE(app1.labels, QStringList());

    const Rendering &app2 = recorder.renderings.at(1);
    QCOMPARE(app2.squares, QList<QRectF>{centredSquare(6)});

    const Rendering &app3 = recorder.renderings.at(2);
    QCOMPARE(app3.squares.size(), 16);
    QCOMPARE(app3.labels, QStringList({"A 1\n1.0", "A 2\n25.0", "A 3\n40.0", "A 4\n50.0"}));
    QCOMPARE(app3.labelColours, QList<QColor>({Qt::cyan, Qt::black, Qt::black, Qt::red}));
    QCOMPARE(recorder.roiLeft, 0);
}

void tst_MainWindowApplications::regionLabelsFromNewestRead()
{
    QJsonObject map = WindowDriver::quietMap();
    map = WindowDriver::withValue(map, "holding", 12, 4);
    map.insert("input", inputWithFrame({3031, 3031}));
    WindowDriver driver;
    QVERIFY(driver.start(map));
    QVERIFY(driver.connectAndSelect());
    FrameRecorder recorder(driver);

    // A region read the operator asked for earlier must not label a later image.
    driver.child<QPushButton>("pushButton_app3UpdateData")->click();
    QVERIFY(driver.settle());
    QVERIFY(driver.sim().command("set input 25 3131"));
    QVERIFY(driver.sim().command("set input 26 0"));
    QVERIFY(driver.sim().command("set input 27 2981"));

    driver.child<QPushButton>("pushButton_app3GetImage")->click();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.frames.size(), 1, 10000);
    QCOMPARE(recorder.renderings.at(2).squares.size(), 4);
    QCOMPARE(recorder.renderings.at(2).labels, QStringList({"A 1\n40.0", "A 2\n25.0"}));
}

void tst_MainWindowApplications::gridCodeWithoutGrid_data()
{
    QTest::addColumn<int>("code");
    QTest::newRow("0 (side 1)") << 0;
    QTest::newRow("5 (side 32)") << 5;
    QTest::newRow("8 (side 0)") << 8;
}

void tst_MainWindowApplications::gridCodeWithoutGrid()
{
    QFETCH(int, code);
    QJsonObject map = WindowDriver::withValue(WindowDriver::quietMap(), "holding", 12, code);
    map.insert("input", inputWithFrame({3031, 3031, 3031}));
    WindowDriver driver;
    QVERIFY(driver.start(map));
    QVERIFY(driver.connectAndSelect());
    FrameRecorder recorder(driver);

    driver.child<QPushButton>("pushButton_app3GetImage")->click();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.frames.size(), 1, 10000);
    const Rendering &app3 = recorder.renderings.at(2);
    QCOMPARE(app3.squares.size(), 0);
    QCOMPARE(app3.labels.size(), 0);
    QCOMPARE(app3.cells.at(1023), shown(2931 + 1023));
    QCOMPARE(recorder.roiLeft, 0);
}

void tst_MainWindowApplications::limitFieldOfViewRedraws()
{
    QJsonObject map = WindowDriver::quietMap();
    map.insert("input", inputWithFrame());
    WindowDriver driver;
    QVERIFY(driver.start(map));
    QVERIFY(driver.connectAndSelect());
    FrameRecorder recorder(driver);
    driver.child<QPushButton>("pushButton_getImage")->click();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.frames.size(), 1, 10000);
    QVERIFY(driver.settle());
    QCOMPARE(recorder.renderings.at(0).squares.size(), 0);

    auto *plot = driver.child<image>("tempPlot_app1");
    auto *option = driver.child<QRadioButton>("radioButton_app1LimitFov");
    const int mark = driver.mark();

    option->click();
    // Drawn at once, from the last frame.
    const Rendering on = capture(plot);
    QCOMPARE(on.squares, QList<QRectF>{centredSquare(20)});
    QCOMPARE(on.cells, recorder.renderings.at(0).cells);
    QVERIFY(driver.settle());
    QCOMPARE(plot->itemCount(), 0);

    option->click();
    const Rendering off = capture(plot);
    QCOMPARE(off.squares.size(), 0);
    QCOMPARE(off.cells, recorder.renderings.at(0).cells);
    QVERIFY(driver.settle());

    // Nothing read but the settle probes; the option itself was written both times.
    QCOMPARE(driver.requestsSince(mark, 4), QStringList());
    const QStringList writes = driver.writesSince(mark);
    QCOMPARE(writes.size(), 2);
    QVERIFY(writes.at(0).startsWith(WindowDriver::coilWrite(1, 9, true)));
    QVERIFY(writes.at(1).startsWith(WindowDriver::coilWrite(1, 9, false)));
    QCOMPARE(recorder.frames.size(), 1);
}

void tst_MainWindowApplications::pageOptionWrites_data()
{
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("expected");
    QTest::newRow("centred area 32x32")
        << QByteArray("comboBox_reticleSize") << 15 << WindowDriver::holdingWrite(1, 10, 32);
    QTest::newRow("centred area 4x4")
        << QByteArray("comboBox_reticleSize") << 1 << WindowDriver::holdingWrite(1, 10, 4);
    QTest::newRow("grid 16x16") << QByteArray("comboBox_gridROISize") << 3
                                << WindowDriver::holdingWrite(1, 12, 4);
    QTest::newRow("unidirectional")
        << QByteArray("comboBox_counterType") << 1 << WindowDriver::coilWrite(1, 4, true);
    QTest::newRow("moving average window")
        << QByteArray("spinBox_movingAverageWindow") << 16 << WindowDriver::holdingWrite(1, 11, 16);
    QTest::newRow("reset NO/NC pin, page 1")
        << QByteArray("pushButton_clearNONCapp1") << 0 << WindowDriver::coilWrite(1, 11, false);
    QTest::newRow("reset NO/NC pin, page 2")
        << QByteArray("pushButton_clearNONCapp1_2") << 0 << WindowDriver::coilWrite(1, 11, false);
    QTest::newRow("reset NO/NC pin, page 3")
        << QByteArray("pushButton_clearNONCapp1_3") << 0 << WindowDriver::coilWrite(1, 11, false);
}

void tst_MainWindowApplications::pageOptionWrites()
{
    QFETCH(QByteArray, control);
    QFETCH(int, index);
    QFETCH(QString, expected);
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    QVERIFY(driver.connectAndSelect());

    QWidget *widget = driver.child<QWidget>(control);
    if (auto *combo = qobject_cast<QComboBox *>(widget)) {
        combo->setCurrentIndex(index);
    } else if (auto *spin = qobject_cast<QSpinBox *>(widget)) {
        spin->setValue(index);
        QTest::keyClick(spin, Qt::Key_Return);
    } else {
        qobject_cast<QPushButton *>(widget)->click();
    }
    QVERIFY(driver.settle());
    const QStringList writes = driver.writesSince(0);
    QCOMPARE(writes.size(), 1);
    QVERIFY2(writes.first().startsWith(expected), qPrintable(writes.first()));
}

void tst_MainWindowApplications::frameAverageButtonsMirror()
{
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    QVERIFY(driver.connectAndSelect());
    auto *page1 = driver.child<QRadioButton>("radioButton_frameAverageApps1And3");
    auto *page3 = driver.child<QRadioButton>("radioButton_frameAverageApps1And3_2");

    page1->click();
    QVERIFY(driver.settle());
    QVERIFY(page1->isChecked());
    QVERIFY(page3->isChecked());
    const QStringList on = driver.writesSince(0);
    QCOMPARE(on.size(), 2);
    for (const QString &write : on)
        QVERIFY(write.startsWith(WindowDriver::coilWrite(1, 10, true)));
    QCOMPARE(driver.sim().stateArray("coils").value(10), 1);

    const int mark = driver.mark();
    page3->click();
    QVERIFY(driver.settle());
    QVERIFY(!page1->isChecked());
    QVERIFY(!page3->isChecked());
    const QStringList off = driver.writesSince(mark);
    QCOMPARE(off.size(), 2);
    for (const QString &write : off)
        QVERIFY(write.startsWith(WindowDriver::coilWrite(1, 10, false)));
    QCOMPARE(driver.sim().stateArray("coils").value(10), 0);
}

void tst_MainWindowApplications::resetCounterShowsZeroAtOnce()
{
    QJsonObject map = WindowDriver::quietMap();
    map = WindowDriver::withValue(map, "coils", 4, 1);
    map = WindowDriver::withValue(map, "input", 23, 42);
    WindowDriver driver;
    QVERIFY(driver.start(map));
    QVERIFY(driver.connectAndSelect());
    auto *counter = driver.child<QLabel>("label_app3CounterValue");
    driver.child<QPushButton>("pushButton_app3UpdateData")->click();
    QVERIFY(driver.settle());
    QCOMPARE(counter->text(), QString("42"));

    const int mark = driver.mark();
    driver.child<QPushButton>("pushButton_resetApp3Counter")->click();
    QCOMPARE(counter->text(), QString("0"));
    QVERIFY(driver.settle());
    const QStringList writes = driver.writesSince(mark);
    QCOMPARE(writes.size(), 1);
    QVERIFY(writes.first().startsWith(WindowDriver::coilWrite(1, 12, true)));
}

QTEST_MAIN(tst_MainWindowApplications)
#include "tst_mainwindow_applications.moc"
