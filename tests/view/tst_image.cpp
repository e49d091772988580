#include "image.h"

#include <QToolTip>
#include <QtTest>

#include <cmath>
#include <memory>
#include <numeric>

namespace {

constexpr quint16 Dark = 2900; // the coldest value of the test frames: the darkest colour
constexpr quint16 Hot = 3100;  // one hot corner, so that a frame is never uniform

QVector<quint16> darkFrame()
{
    QVector<quint16> frame(1024, Dark);
    frame[1023] = Hot;
    return frame;
}

// Grid coordinate g (0..32 across the pixels) on the axes, which run 0..31.
double axisPos(double g)
{
    return g * 31.0 / 32.0;
}

// The centre of cell `index` on the axes: the map's cell centres run from 0.5 to 30.5.
double cellCentre(int index)
{
    return 0.5 + index * 30.0 / 31.0;
}

std::unique_ptr<image> shownPlot(QSize size = QSize(640, 520))
{
    auto plot = std::make_unique<image>();
    plot->resize(size);
    plot->show();
    if (!QTest::qWaitForWindowExposed(plot.get()))
        return nullptr;
    return plot;
}

QPoint toPixel(image &plot, double key, double value)
{
    return QPoint(qRound(plot.xAxis->coordToPixel(key)), qRound(plot.yAxis->coordToPixel(value)));
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
        if (auto *item = qobject_cast<Item *>(plot.item(i)))
            result.append(item);
    }
    return result;
}

} // namespace

class tst_Image : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The operator reads the picture: element i of a frame belongs in column i / 32 and
    // row i % 32, counted from the bottom left.
    void frameElementPlacement_data()
    {
        QTest::addColumn<int>("element");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("row");
        QTest::newRow("0 bottom left") << 0 << 0 << 0;
        QTest::newRow("31 top left") << 31 << 0 << 31;
        QTest::newRow("1023 top right") << 1023 << 31 << 31;
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
        const auto shown = [&](int c, int r) {
            return shot.pixelColor(toPixel(*plot, cellCentre(c), cellCentre(r)));
        };
        const QColor marked = plot->colorMap->gradient().color(0, QCPRange(0, 1));
        QCOMPARE(shown(column, row), marked);
        // Nowhere else: neither transposed nor mirrored.
        if (column != row)
            QVERIFY(shown(row, column) != marked);
        QVERIFY(shown(column, 31 - row) != marked);
    }

    void framesOfAnotherLengthKeepThePicture()
    {
        image plot;
        plot.setPixelData(darkFrame());
        for (const int length : {0, 1023, 1025})
            plot.setPixelData(QVector<quint16>(length, 3300));
        plot.plotPixelData();
        QCOMPARE(plot.pixels[31][31], Hot);
        QCOMPARE(plot.pixels[0][0], Dark);
    }

    void centredSquare_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<double>("lo");
        QTest::addColumn<double>("hi");
        QTest::newRow("20") << 20 << axisPos(6) << axisPos(26);
        QTest::newRow("21 as 20") << 21 << axisPos(6) << axisPos(26);
        QTest::newRow("2") << 2 << axisPos(15) << axisPos(17);
    }
    void centredSquare()
    {
        QFETCH(int, size);
        QFETCH(double, lo);
        QFETCH(double, hi);
        image plot;
        plot.setPixelData(darkFrame());
        plot.drawCenteredSquare(quint8(size));
        const auto squares = itemsOf<QCPItemRect>(plot);
        QCOMPARE(squares.size(), 1);
        QCOMPARE(squares[0]->topLeft->coords(), QPointF(lo, hi));
        QCOMPARE(squares[0]->bottomRight->coords(), QPointF(hi, lo));
        plot.plotPixelData();
        // The square belongs to this rendering only.
        QCoreApplication::processEvents();
        QCOMPARE(plot.itemCount(), 0);
    }

    // Regions are numbered up each column first, each labelled with the next temperature
    // from the front of the list, in single precision like every label (raw 2803 reads 7.1,
    // not 7.2). The list is emptied, so stale values never label a later grid.
    void roiGrid_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("listLength");
        QTest::addColumn<int>("regions");
        QTest::newRow("2, a value for each") << 2 << 256 << 256;
        QTest::newRow("8, fewer values") << 8 << 5 << 16;
        QTest::newRow("16, more values") << 16 << 10 << 4;
        QTest::newRow("size 0 (grid code 8)") << 0 << 10 << 0;
    }
    void roiGrid()
    {
        QFETCH(int, size);
        QFETCH(int, listLength);
        QFETCH(int, regions);
        image plot;
        QVector<quint16> temperatures;
        for (int k = 0; k < listLength; ++k)
            temperatures.append(quint16(2800 + k));
        plot.drawRoiGrid(quint8(size), temperatures, 0, 65535);
        QVERIFY(temperatures.isEmpty());
        const auto rects = itemsOf<QCPItemRect>(plot);
        const auto labels = itemsOf<QCPItemText>(plot);
        QCOMPARE(rects.size(), regions);
        QCOMPARE(labels.size(), std::min(regions, listLength));
        for (int k = 0; k < regions; ++k) {
            const int side = 32 / size;
            const QPointF topRight(axisPos((k / side + 1) * size), axisPos((k % side + 1) * size));
            QCOMPARE(QPointF(rects[k]->bottomRight->coords().x(), rects[k]->topLeft->coords().y()),
                     topRight);
            if (k >= labels.size())
                continue;
            QCOMPARE(labels[k]->position->coords(), topRight - QPointF(size / 2, size / 2));
            QCOMPARE(labels[k]->text(),
                     QStringLiteral("A %1\n%2")
                         .arg(k + 1)
                         .arg(double(float(float(2800 + k) / 10.0f - 273.15)), 0, 'f', 1));
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
    }
    void roiLabelColour()
    {
        QFETCH(int, value);
        QFETCH(int, low);
        QFETCH(int, high);
        QFETCH(QColor, colour);
        image plot;
        QVector<quint16> list{quint16(value)};
        plot.drawRoiGrid(16, list, quint16(low), quint16(high));
        auto *label = itemsOf<QCPItemText>(plot).value(0);
        QVERIFY(label);
        QCOMPARE(label->color(), colour);
        // Readable on the darkest and on the brightest cell of the map, through its backing.
        for (const double end : {0.0, 1.0}) {
            const QColor cell = plot.colorMap->gradient().color(end, QCPRange(0, 1));
            const double ratio = contrast(colour, over(label->brush().color(), cell));
            QVERIFY2(ratio >= 3.0, qPrintable(QString::number(ratio)));
        }
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
        QTest::newRow("exported") << QSize(1200, 500) << true;
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
};

QTEST_MAIN(tst_Image)
#include "tst_image.moc"
