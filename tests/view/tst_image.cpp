#include "image.h"

#include <QSignalSpy>
#include <QToolTip>
#include <QtTest>

#include <cmath>
#include <numeric>

#include <memory>

namespace {

constexpr int Dark = 2900; // coldest value of the test frames: the darkest colour of the map
constexpr int Hot = 3100;  // one hot corner so that a frame is never uniform

double axisPos(double gridCoordinate)
{
    return gridCoordinate * 31.0 / 32.0;
}

double cellCentre(int index)
{
    return 0.5 + index * 30.0 / 31.0;
}

QVector<quint16> darkFrame()
{
    QVector<quint16> frame(1024, Dark);
    frame[1023] = Hot;
    return frame;
}

std::unique_ptr<image> shownPlot(QSize size = QSize(640, 520))
{
    auto plot = std::make_unique<image>();
    plot->resize(size);
    plot->show();
    if (!QTest::qWaitForWindowExposed(plot.get())) {
        return nullptr;
    }
    return plot;
}

QPoint toPixel(image &plot, double key, double value)
{
    return QPoint(qRound(plot.xAxis->coordToPixel(key)), qRound(plot.yAxis->coordToPixel(value)));
}

// Any near-white pixel within `radius` of `centre`: overlay pens are anti-aliased and may
// fall between two pixel columns.
bool whiteNear(const QImage &shot, QPoint centre, int radius = 2)
{
    for (int dx = -radius; dx <= radius; ++dx) {
        for (int dy = -radius; dy <= radius; ++dy) {
            const QColor c = shot.pixelColor(centre + QPoint(dx, dy));
            if (c.red() > 230 && c.green() > 230 && c.blue() > 230) {
                return true;
            }
        }
    }
    return false;
}

// WCAG contrast of two opaque colours: 1 (none) to 21 (black on white).
double contrast(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &c) {
        const auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// `top`, with its alpha, laid over the opaque `bottom`.
QColor over(const QColor &top, const QColor &bottom)
{
    const double a = top.alphaF();
    return QColor::fromRgbF(top.redF() * a + bottom.redF() * (1 - a),
                            top.greenF() * a + bottom.greenF() * (1 - a),
                            top.blueF() * a + bottom.blueF() * (1 - a));
}

template <typename Item> QList<Item *> itemsOf(image &plot)
{
    QList<Item *> result;
    for (int i = 0; i < plot.itemCount(); ++i) {
        if (auto *item = qobject_cast<Item *>(plot.item(i))) {
            result.append(item);
        }
    }
    return result;
}

} // namespace

class tst_Image : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void construction()
    {
        image plot;
        for (QCPAxis *axis : {plot.xAxis, plot.yAxis, plot.xAxis2, plot.yAxis2}) {
            auto ticker = axis->ticker().dynamicCast<QCPAxisTickerText>();
            QVERIFY(ticker);
            QCOMPARE(ticker->ticks().keys(),
                     QList<double>({0.484375, 5.328125, 10.171875, 15.015625, 19.859375, 24.703125,
                                    29.546875}));
            QCOMPARE(ticker->ticks().value(29.546875), QStringLiteral("30"));
        }
        QCOMPARE(plot.plotLayout()->element(0, 1), plot.colorScale);
        plot.xAxis->setRange(2, 9);
        QCOMPARE(plot.xAxis2->range(), QCPRange(2, 9));
        // The placeholder ramp sets the first colour range.
        QCOMPARE(plot.colorScale->dataRange().lower, -1.0);
        QCOMPARE(plot.colorScale->dataRange().upper, 2.1);
    }

    void frameElementPlacement_data()
    {
        QTest::addColumn<int>("element");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("row");
        QTest::newRow("0 bottom-left") << 0 << 0 << 0;
        QTest::newRow("31 top-left") << 31 << 0 << 31;
        QTest::newRow("32 second column bottom") << 32 << 1 << 0;
        QTest::newRow("1023 top-right") << 1023 << 31 << 31;
    }
    void frameElementPlacement()
    {
        QFETCH(int, element);
        QFETCH(int, column);
        QFETCH(int, row);
        auto plot = shownPlot();
        QVERIFY(plot);
        QVector<quint16> frame(1024, 2950);
        frame[0] = 2930; // keeps the range the same whichever element is marked
        frame[1] = 3000;
        frame[element] = 2900;
        plot->setPixelData(frame);
        plot->plotPixelData();

        const QImage shot = plot->grab().toImage();
        const QColor marked(plot->colorMap->gradient().color(-18.15, QCPRange(-18.15, 26.85)));
        QCOMPARE(shot.pixelColor(toPixel(*plot, cellCentre(column), cellCentre(row))), marked);
        // The mirrored cell must not carry the mark: catches a transposed or flipped frame.
        QVERIFY(shot.pixelColor(toPixel(*plot, cellCentre(row), cellCentre(31 - column))) !=
                    marked ||
                (row == 31 - column && column == row));
    }

    void temperatureConversion_data()
    {
        QTest::addColumn<int>("raw");
        QTest::addColumn<QString>("shown");
        QTest::newRow("3103") << 3103 << "37.1"; // not 37.2: the division is single precision
        QTest::newRow("2932") << 2932 << "20.1";
        QTest::newRow("0") << 0 << "-273.1";
        QTest::newRow("65535") << 65535 << "6280.4";
    }
    void temperatureConversion()
    {
        QFETCH(int, raw);
        QFETCH(QString, shown);
        image plot;
        QVector<quint16> frame(1024, 2731);
        frame[5] = quint16(raw);
        plot.setPixelData(frame);
        QVector<quint16> list{quint16(raw)};
        plot.drawRoiGrid(16, list, 0, 65535);
        plot.plotPixelData();
        QCOMPARE(QString::number(plot.colorMap->data()->cell(0, 5), 'f', 1), shown);
        QCOMPARE(itemsOf<QCPItemText>(plot).value(0)->text(), QStringLiteral("A 1\n") + shown);
    }

    void framesThatKeepTheLastPicture_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("empty") << 0;
        QTest::newRow("1023") << 1023;
        QTest::newRow("1025") << 1025;
        QTest::newRow("2048") << 2048;
    }
    void framesThatKeepTheLastPicture()
    {
        QFETCH(int, length);
        image plot;
        // Before any frame a zero frame is drawn; being uniform, it keeps the first range.
        plot.plotPixelData();
        QCOMPARE(plot.colorMap->data()->cell(17, 3), double(float(0.0 - 273.15)));
        QCOMPARE(plot.colorScale->dataRange().upper, 2.1);
        // A uniform first frame keeps the placeholder range as well.
        plot.setPixelData(QVector<quint16>(1024, 3000));
        plot.plotPixelData();
        QCOMPARE(plot.colorScale->dataRange().lower, -1.0);
        QCOMPARE(plot.colorScale->dataRange().upper, 2.1);

        plot.setPixelData(darkFrame());
        plot.setPixelData(QVector<quint16>(length, 3300));
        plot.plotPixelData();
        QCOMPARE(plot.pixels[31][31], quint16(Hot));
        QCOMPARE(plot.pixels[0][0], quint16(Dark));
    }

    void centredSquare_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<double>("lo");
        QTest::addColumn<double>("hi");
        QTest::newRow("20") << 20 << 5.8125 << 25.1875;
        QTest::newRow("21 as 20") << 21 << 5.8125 << 25.1875;
        QTest::newRow("10") << 10 << 10.65625 << 20.34375;
        QTest::newRow("2") << 2 << 14.53125 << 16.46875;
    }
    void centredSquare()
    {
        QFETCH(int, size);
        QFETCH(double, lo);
        QFETCH(double, hi);
        auto plot = shownPlot();
        QVERIFY(plot);
        plot->setPixelData(darkFrame());
        plot->drawCenteredSquare(quint8(size));
        const auto squares = itemsOf<QCPItemRect>(*plot);
        QCOMPARE(squares.size(), 1);
        QCOMPARE(squares[0]->topLeft->coords(), QPointF(lo, hi));
        QCOMPARE(squares[0]->bottomRight->coords(), QPointF(hi, lo));
        plot->plotPixelData();

        const QPoint leftEdge = toPixel(*plot, lo, 15.5);
        const QPoint inside = toPixel(*plot, (lo + hi) / 2, (lo + hi) / 2 + 0.3);
        QVERIFY(whiteNear(plot->grab().toImage(), leftEdge));
        QVERIFY(!whiteNear(plot->grab().toImage(), inside));
        QCoreApplication::processEvents();
        QCOMPARE(plot->itemCount(), 0);

        // The next frame (or the option switched off) redraws without the square.
        plot->plotPixelData();
        QVERIFY(!whiteNear(plot->grab().toImage(), leftEdge));

        // So does a resize after a frame that had one.
        plot->drawCenteredSquare(quint8(size));
        plot->plotPixelData();
        QVERIFY(whiteNear(plot->grab().toImage(), leftEdge));
        QCoreApplication::processEvents();
        QSignalSpy replotted(plot.get(), &QCustomPlot::afterReplot);
        plot->resize(plot->size() + QSize(40, 40));
        QTRY_VERIFY(replotted.count() > 0);
        QVERIFY(!whiteNear(plot->grab().toImage(), toPixel(*plot, lo, 15.5)));
    }

    void roiGrid_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("regions");
        QTest::addColumn<int>("pointSize");
        QTest::newRow("2") << 2 << 256 << 8;
        QTest::newRow("4") << 4 << 64 << 8;
        QTest::newRow("8") << 8 << 16 << 14;
        QTest::newRow("16") << 16 << 4 << 14;
    }
    void roiGrid()
    {
        QFETCH(int, size);
        QFETCH(int, regions);
        QFETCH(int, pointSize);
        auto plot = shownPlot();
        QVERIFY(plot);
        const int side = 32 / size;

        // Without temperatures: every region outlined, nothing labelled.
        QVector<quint16> none;
        plot->setPixelData(darkFrame());
        plot->drawRoiGrid(quint8(size), none, 0, 0);
        QCOMPARE(itemsOf<QCPItemRect>(*plot).size(), regions);
        QCOMPARE(itemsOf<QCPItemText>(*plot).size(), 0);
        plot->plotPixelData();
        const QImage shot = plot->grab().toImage();
        for (int m = 1; m < side; ++m) {
            const double line = axisPos(m * size);
            const double across = axisPos(size / 2.0);
            QVERIFY2(whiteNear(shot, toPixel(*plot, line, across)), qPrintable(QString::number(m)));
            QVERIFY(whiteNear(shot, toPixel(*plot, across, line)));
            QVERIFY(!whiteNear(shot, toPixel(*plot, line - axisPos(size / 2.0), across)));
        }
        QCoreApplication::processEvents();
        QCOMPARE(plot->itemCount(), 0);

        // One temperature per region, taken from the front, numbered up the value axis first.
        QVector<quint16> temperatures;
        for (int k = 0; k < regions; ++k) {
            temperatures.append(quint16(2800 + k));
        }
        plot->drawRoiGrid(quint8(size), temperatures, 0, 65535);
        QVERIFY(temperatures.isEmpty());
        const auto labels = itemsOf<QCPItemText>(*plot);
        QCOMPARE(labels.size(), regions);
        for (int k = 1; k <= regions; ++k) {
            const QCPItemText *label = labels[k - 1];
            const int i = (k - 1) / side;
            const int j = (k - 1) % side;
            QCOMPARE(label->text(),
                     QStringLiteral("A %1\n%2")
                         .arg(k)
                         .arg(double(float(float(2799 + k) / 10.0f - 273.15)), 0, 'f', 1));
            QCOMPARE(label->position->coords(), QPointF(axisPos((i + 1) * size) - size / 2,
                                                        axisPos((j + 1) * size) - size / 2));
            QCOMPARE(label->font().pointSize(), pointSize);
            QCOMPARE(label->font().weight(), 3);
            QCOMPARE(label->color(), QColor(Qt::black));
        }
    }

    void roiTemperatureList_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("listLength");
        QTest::addColumn<int>("labels");
        QTest::addColumn<int>("rectangles");
        QTest::newRow("fewer") << 8 << 5 << 5 << 16;
        QTest::newRow("more") << 16 << 10 << 4 << 4;
        QTest::newRow("size 0") << 0 << 10 << 0 << 0;
        QTest::newRow("size 32") << 32 << 10 << 0 << 0;
        QTest::newRow("size 3") << 3 << 10 << 0 << 0;
    }
    void roiTemperatureList()
    {
        QFETCH(int, size);
        QFETCH(int, listLength);
        QFETCH(int, labels);
        QFETCH(int, rectangles);
        image plot;
        QVector<quint16> list(listLength);
        std::iota(list.begin(), list.end(), quint16(3000));
        plot.drawRoiGrid(quint8(size), list, 0, 65535);
        QVERIFY(list.isEmpty());
        QCOMPARE(itemsOf<QCPItemRect>(plot).size(), rectangles);
        const auto texts = itemsOf<QCPItemText>(plot);
        QCOMPARE(texts.size(), labels);
        for (int k = 0; k < labels; ++k) {
            QVERIFY(texts[k]->text().startsWith(QStringLiteral("A %1\n").arg(k + 1)));
        }
    }

    void roiLabelColour_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("low");
        QTest::addColumn<int>("high");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("below low") << 2999 << 3000 << 3100 << QColor(Qt::cyan);
        QTest::newRow("equal low") << 3000 << 3000 << 3100 << QColor(Qt::black);
        QTest::newRow("equal high") << 3100 << 3000 << 3100 << QColor(Qt::black);
        QTest::newRow("above high") << 3101 << 3000 << 3100 << QColor(Qt::red);
        QTest::newRow("inverted, between") << 3050 << 3100 << 3000 << QColor(Qt::red);
        QTest::newRow("inverted, below both") << 2900 << 3100 << 3000 << QColor(Qt::cyan);
        QTest::newRow("inverted, above both") << 3200 << 3100 << 3000 << QColor(Qt::red);
    }
    void roiLabelColour()
    {
        QFETCH(int, value);
        QFETCH(int, low);
        QFETCH(int, high);
        QFETCH(QColor, colour);
        auto plot = shownPlot();
        QVERIFY(plot);
        plot->setPixelData(darkFrame());
        QVector<quint16> list{quint16(value)};
        plot->drawRoiGrid(16, list, quint16(low), quint16(high));
        auto *label = itemsOf<QCPItemText>(*plot).value(0);
        QVERIFY(label);
        QCOMPARE(label->color(), colour);
        // Readable on the darkest and on the brightest cell of the map, through its backing.
        for (const double end : {0.0, 1.0}) {
            const QColor cell = plot->colorMap->gradient().color(end, QCPRange(0, 1));
            const double ratio = contrast(colour, over(label->brush().color(), cell));
            QVERIFY2(ratio >= 3.0, qPrintable(QString::number(ratio)));
        }
        plot->plotPixelData();

        // Count the label's strongly cyan and strongly red pixels on the dark background.
        const QImage shot = plot->grab().toImage();
        const QRect box =
            QRectF(label->topLeft->pixelPosition(), label->bottomRight->pixelPosition())
                .toAlignedRect();
        int cyan = 0;
        int red = 0;
        for (int x = box.left(); x <= box.right(); ++x) {
            for (int y = box.top(); y <= box.bottom(); ++y) {
                const QColor c = shot.pixelColor(x, y);
                cyan += c.blue() > 150 && c.green() > 150 && c.red() < 90;
                red += c.red() > 170 && c.green() < 40 && c.blue() < 40;
            }
        }
        QCOMPARE(cyan > 0, colour == Qt::cyan);
        QCOMPARE(red > 0, colour == Qt::red);
    }

    void extremesMarkTheirCells()
    {
        image plot;
        // The maximum in the top rows, where its note goes below the cell.
        plot.drawExtremes(QPoint(3, 28), QPoint(20, 30));
        const auto notes = itemsOf<QCPItemText>(plot);
        QCOMPARE(notes.size(), 2);
        const double half = 15.0 / 31.0;
        QCOMPARE(notes[0]->text(), QStringLiteral("min"));
        QCOMPARE(notes[0]->position->coords(), QPointF(cellCentre(3), cellCentre(28) + half));
        QCOMPARE(notes[1]->text(), QStringLiteral("max"));
        QCOMPARE(notes[1]->position->coords(), QPointF(cellCentre(20), cellCentre(30) - half));
        for (const QCPItemRect *outline : itemsOf<QCPItemRect>(plot)) {
            const QPointF centre =
                (outline->topLeft->coords() + outline->bottomRight->coords()) / 2;
            QVERIFY(centre == QPointF(cellCentre(3), cellCentre(28)) ||
                    centre == QPointF(cellCentre(20), cellCentre(30)));
        }
        // A position off the frame marks nothing.
        const int before = plot.itemCount();
        plot.drawExtremes(QPoint(32, 0), QPoint(-1, 5));
        QCOMPARE(plot.itemCount(), before);
    }

    void hoverNamesTheCell_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::newRow("bottom-left") << 0 << 0;
        QTest::newRow("top-left") << 0 << 31;
        QTest::newRow("(12,30)") << 12 << 30;
        QTest::newRow("top-right") << 31 << 31;
    }
    void hoverNamesTheCell()
    {
        QFETCH(int, x);
        QFETCH(int, y);
        auto plot = shownPlot();
        QVERIFY(plot);
        const QPoint at = toPixel(*plot, cellCentre(x), cellCentre(y));
        QCOMPARE(plot->cellAt(at), QPoint(x, y));
        QCOMPARE(plot->cellText({x, y}),
                 QStringLiteral("(%1,%2): no sensor data yet").arg(x).arg(y));

        // Element 32 x + y, each with its own temperature, is what the hover names.
        QVector<quint16> frame(1024);
        std::iota(frame.begin(), frame.end(), quint16(2732));
        plot->setPixelData(frame);
        plot->plotPixelData();
        const float celsius = float(float(2732 + 32 * x + y) / 10.0f - 273.15);
        const QString expected =
            QStringLiteral("(%1,%2): %3 °C").arg(x).arg(y).arg(double(celsius), 0, 'f', 1);
        QMouseEvent move(QEvent::MouseMove, at, plot->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(plot.get(), &move);
        QTRY_COMPARE(QToolTip::text(), expected);

        // Outside the data area nothing is named.
        const QPoint outside = plot->axisRect()->rect().bottomLeft() + QPoint(-3, 3);
        QCOMPARE(plot->cellAt(outside), QPoint(-1, -1));
    }

    void squarePixelsAtAnyShape_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("exported");
        QTest::newRow("wide") << QSize(760, 420) << false;
        QTest::newRow("tall") << QSize(420, 760) << false;
        QTest::newRow("exported wide") << QSize(1200, 500) << true;
    }
    void squarePixelsAtAnyShape()
    {
        QFETCH(QSize, size);
        QFETCH(bool, exported);
        auto plot = shownPlot();
        QVERIFY(plot);
        plot->setPixelData(darkFrame());
        QRect data;
        connect(plot.get(), &QCustomPlot::afterLayout, this,
                [&] { data = plot->axisRect()->rect(); });
        if (exported) {
            QCOMPARE(plot->toPixmap(size.width(), size.height()).size(), size);
        } else {
            plot->resize(size);
            plot->plotPixelData();
        }
        // Both axes span 31 units: a square data area draws square pixels.
        QCOMPARE(data.width(), data.height());
        QVERIFY(data.width() > qMin(size.width(), size.height()) / 2);
    }

    void overlaysDoNotPileUp()
    {
        auto plot = shownPlot(QSize(220, 180));
        QVERIFY(plot);
        const int children = plot->children().size();
        const int onMainLayer = plot->layer(QStringLiteral("main"))->children().size();
        QVector<quint16> frame = darkFrame();
        for (int n = 0; n < 5000; ++n) {
            frame[n % 1023] = quint16(2900 + n % 200);
            plot->setPixelData(frame);
            plot->drawCenteredSquare(quint8(2 + 2 * (n % 16)));
            QVector<quint16> list(4 + n % 20, quint16(3000));
            plot->drawRoiGrid(n % 2 ? 8 : 16, list, 2950, 3050);
            plot->plotPixelData();
            QCoreApplication::processEvents();
            if (plot->itemCount() != 0) {
                QFAIL(qPrintable(QStringLiteral("items left after frame %1").arg(n)));
            }
        }
        QCOMPARE(plot->children().size(), children);
        QCOMPARE(plot->layer(QStringLiteral("main"))->children().size(), onMainLayer);
    }
};

QTEST_MAIN(tst_Image)
#include "tst_image.moc"
