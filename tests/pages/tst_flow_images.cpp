#include "briscadevice.h"
#include "image.h"
#include "reliabilitysupport.h"

#include <QJsonArray>
#include <QLabel>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>

using namespace Reliability;

// Reading measurements and images through the real window against the virtual sensor:
// the labels of the three pages, the frame on the three plots with their squares and
// region labels, and every fault of the line against a single image.
class tst_FlowImages : public QObject
{
    Q_OBJECT

private slots:
    void measurementLabels_data();
    void measurementLabels();
    void imageOnAllPlots_data();
    void imageOnAllPlots();
    void faultMatrix_data() { faultMatrixRows({SingleImage}); }
    void faultMatrix() { runFaultRow(); }
};

namespace {

// What one plot showed in the rendering of one frame, taken before its overlays go.
struct Rendering
{
    QList<QRectF> squares; // left, bottom, right, top in axis coordinates
    QStringList labels;
    QStringList labelColours;
    QVector<double> cells; // 32 x 32, index 32 * key + value
};

Rendering capture(image *plot)
{
    Rendering r;
    for (int i = 0; i < plot->itemCount(); ++i) {
        if (auto *rect = qobject_cast<QCPItemRect *>(plot->item(i))) {
            const QPointF tl = rect->topLeft->coords();
            const QPointF br = rect->bottomRight->coords();
            if (br.x() - tl.x() >= 1) // not the outline of a marked pixel
                r.squares << QRectF(QPointF(tl.x(), br.y()), QPointF(br.x(), tl.y()));
        } else if (auto *text = qobject_cast<QCPItemText *>(plot->item(i))) {
            // The notes of Application 1's marked pixels are not region labels.
            if (text->text() != QLatin1String("min") && text->text() != QLatin1String("max")) {
                r.labels << text->text();
                r.labelColours << text->color().name();
            }
        }
    }
    auto *map = qobject_cast<QCPColorMap *>(plot->plottable(0));
    for (int x = 0; x < 32; ++x) {
        for (int y = 0; y < 32; ++y)
            r.cells << map->data()->cell(x, y);
    }
    return r;
}

// Every plot is captured inside the frame signal, right after the window has drawn it.
struct FrameRecorder
{
    explicit FrameRecorder(WindowDriver &driver)
    {
        QObject::connect(
            driver.device(), &BriscaDevice::pixelDataReady, driver.device(),
            [this, &driver](const QVector<quint16> &frame) {
                frames << frame;
                for (const char *name : {"tempPlot_app1", "tempPlot_app2", "tempPlot_app3"})
                    renderings << capture(driver.child<image>(name));
                roiLeft = driver.device()->roiTemperatures.size();
            });
    }
    QList<QVector<quint16>> frames;
    QList<Rendering> renderings; // three per frame
    int roiLeft = -1;
};

double shownCell(quint16 raw)
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

void tst_FlowImages::measurementLabels_data()
{
    QTest::addColumn<int>("breachRaw");
    QTest::addColumn<QString>("breachText");
    QTest::addColumn<bool>("alarm");
    QTest::newRow("no breach") << 0 << "N/A" << true;
    QTest::newRow("raw 1") << 1 << "-273.0" << false;
    QTest::newRow("31.4") << 3045 << "31.4" << true;
}

void tst_FlowImages::measurementLabels()
{
    QFETCH(int, breachRaw);
    QFETCH(QString, breachText);
    QFETCH(bool, alarm);
    QJsonArray input = {2981, 0x1E0C, 3103, 0x0305, 2932};
    for (int a = 5; a < 21; ++a)
        input.append(0);
    for (int value : {breachRaw, 17, 42, 2531})
        input.append(value);
    QJsonObject map = WindowDriver::withValue(WindowDriver::quietMap(), "coils", 4, 1);
    map.insert("input", input);
    map.insert("discrete_inputs", QJsonArray{0, 0, alarm, !alarm, alarm});
    WindowDriver driver;
    QVERIFY(driver.start(map));
    QVERIFY(driver.connectAndSelect());
    driver.child<QPushButton>("pushButton_app1UpdateData")->click();
    QVERIFY(driver.settle());

    // The values, then the alarm states, each page's own label red when on.
    const QStringList names =
        QStringLiteral("label_app1MeasuredMin label_app1MinCoordinates label_app1MeasuredMax "
                       "label_app1MaxCoordinates label_app1MeasuredAvg label_app2MeasuredAvg "
                       "label_app3HighestBreachTemp label_app3PageHighestBreachCoords "
                       "label_app3CounterValue label_app1PageApplicationOneStatus "
                       "label_app2PageApplicationTwoStatus label_app3PageApplicationThreeStatus")
            .split(QLatin1Char(' '));
    const QString on = alarm ? "TRUE red" : "FALSE green", off = alarm ? "FALSE green" : "TRUE red";
    const QStringList values = {"25.0",     "(12,30)", "37.1", "(5,3)", "20.1", "-20.0",
                                breachText, "17",      "42",   on,      off,    on};
    for (int i = 0; i < names.size(); ++i) {
        const auto *label = driver.child<QLabel>(qPrintable(names.at(i)));
        const QString style = label->styleSheet();
        const QString seen = label->text() + (style.contains("#ff0000") ? " red" : "") +
                             (style.contains("#1e8e3e") ? " green" : "");
        QCOMPARE(names.at(i) + '=' + seen, names.at(i) + '=' + values.at(i));
    }

    // A counter reset shows zero at once, before any echo.
    driver.child<QPushButton>("pushButton_resetApp3Counter")->click();
    QCOMPARE(driver.child<QLabel>("label_app3CounterValue")->text(), QString("0"));
    QVERIFY(driver.settle());
}

void tst_FlowImages::imageOnAllPlots_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<int>("gridCode");
    QTest::addColumn<QStringList>("labels");
    QTest::addColumn<QStringList>("colours");
    // 8 x 8 regions; application 3 thresholds 5.0 and 40.0 degrees. Four regions get a
    // temperature: cold, normal, equal to the upper limit, hot.
    const QStringList labels = {"A 1\n1.0", "A 2\n25.0", "A 3\n40.0", "A 4\n50.0"};
    const QStringList colours = {"#00ffff", "#000000", "#000000", "#ff0000"};
    QTest::newRow("application 1") << QByteArray("pushButton_getImage") << 3 << labels << colours;
    QTest::newRow("application 2")
        << QByteArray("pushButton_app2GetImage") << 3 << labels << colours;
    QTest::newRow("application 3")
        << QByteArray("pushButton_app3GetImage") << 3 << labels << colours;
    // Codes without a grid: side 1, 32, 0.
    for (int code : {0, 5, 8})
        QTest::addRow("grid code %d", code)
            << QByteArray("pushButton_app3GetImage") << code << QStringList() << QStringList();
}

void tst_FlowImages::imageOnAllPlots()
{
    QFETCH(QByteArray, button);
    QFETCH(int, gridCode);
    QFETCH(QStringList, labels);
    QFETCH(QStringList, colours);
    // Limited field of view, 6 x 6 centred area.
    QJsonObject map =
        WindowDriver::withValue(mapWithFrame({2741, 0, 2981, 3131, 3231}), "coils", 9, 1);
    map = WindowDriver::withValue(map, "holding", 10, 6);
    map = WindowDriver::withValue(map, "holding", 12, gridCode);
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
    for (const Rendering &r : qAsConst(recorder.renderings)) {
        for (int i : {0, 31, 32, 1023})
            QCOMPARE(r.cells.at(i), shownCell(frame.at(i)));
    }
    QCOMPARE(recorder.renderings.at(0).squares, QList<QRectF>{centredSquare(20)});
    QCOMPARE(recorder.renderings.at(0).labels, QStringList());
    QCOMPARE(recorder.renderings.at(1).squares, QList<QRectF>{centredSquare(6)});
    const Rendering &app3 = recorder.renderings.at(2);
    QCOMPARE(app3.squares.size(), labels.isEmpty() ? 0 : 16);
    QCOMPARE(app3.labels, labels);
    QCOMPARE(app3.labelColours, colours);
    QCOMPARE(recorder.roiLeft, 0);
}

QTEST_MAIN(tst_FlowImages)
#include "tst_flow_images.moc"
