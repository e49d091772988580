#include "image.h"

#include "briscaregisters.h"

#include <QFont>
#include <QMetaObject>
#include <QSharedPointer>
#include <QtMath>

#include <utility>

namespace {

constexpr int FrameSide = 32;
constexpr int FrameSize = FrameSide * FrameSide;

// Grid coordinate g (0..32 across the pixel grid) on the axes, which run 0..31.
double gridToAxis(double g)
{
    return g * 31 * 0.03125;
}

} // namespace

image::image(QWidget *parent)
    : QCustomPlot(parent)
{
    axisRect()->setupFullAxesBox(true);

    colorMap = new QCPColorMap(xAxis, yAxis);
    connect(xAxis, SIGNAL(rangeChanged(QCPRange)), xAxis2, SLOT(setRange(QCPRange)));
    colorMap->setTightBoundary(false);
    // Cell centres, not edges: the outer cells reach half a cell beyond 0.5 and 30.5.
    colorMap->data()->setSize(FrameSide, FrameSide);
    colorMap->data()->setRange(QCPRange(0.5, 30.5), QCPRange(0.5, 30.5));

    xAxis->setLabel(QStringLiteral("x axis [pixel no.]"));
    yAxis->setLabel(QStringLiteral("y axis [pixel no.]"));

    // Ticks sit on the centres of pixels 0, 5, ..., 30.
    QSharedPointer<QCPAxisTickerText> ticker(new QCPAxisTickerText);
    for (int k = 0; k <= 30; k += 5) {
        ticker->addTick(gridToAxis(k + 0.5), QString::number(k));
    }
    xAxis->setTicker(ticker);
    yAxis->setTicker(ticker);
    xAxis2->setTicker(ticker);
    yAxis2->setTicker(ticker);

    // A diagonal ramp until the first frame arrives, so the empty view already shows colours.
    for (int x = 0; x < FrameSide; ++x) {
        for (int y = 0; y < FrameSide; ++y) {
            colorMap->data()->setCell(x, y, 2.0 * (x + y) / 40.0 - 1.0);
        }
    }

    colorScale = new QCPColorScale(this);
    plotLayout()->addElement(0, 1, colorScale);
    colorScale->setType(QCPAxis::atRight);
    colorMap->setColorScale(colorScale);

    colorScale->axis()->setNumberFormat(QStringLiteral("f"));
    colorScale->axis()->setNumberPrecision(0);
    colorScale->axis()->setLabel(QStringLiteral("Temperature(°C)"));

    auto *marginGroup = new QCPMarginGroup(this);
    axisRect()->setMarginGroup(QCP::msTop | QCP::msBottom, marginGroup);
    colorScale->setMarginGroup(QCP::msTop | QCP::msBottom, marginGroup);

    // Linking the scale copied its gradient into the map, so the gradient comes afterwards.
    colorMap->setGradient(QCPColorGradient::gpHot);
    colorMap->setInterpolate(false);
    colorMap->rescaleDataRange(true);

    xAxis->setRange(0, 31);
    yAxis->setRange(0, 31);
}

void image::setPixelData(QVector<quint16> frame)
{
    // A frame is only meaningful as a whole; a partial one would shift every column.
    if (frame.size() != FrameSize) {
        return;
    }
    for (int r = 0; r < FrameSide; ++r) {
        for (int c = 0; c < FrameSide; ++c) {
            pixels[r][c] = frame.at(FrameSide * c + r);
        }
    }
}

void image::plotPixelData()
{
    QCPColorMapData *data = colorMap->data();
    for (int r = 0; r < FrameSide; ++r) {
        for (int c = 0; c < FrameSide; ++c) {
            data->setCell(c, r, Brisca::kelvinTenthsToCelsius(pixels[r][c]));
        }
    }
    // The library refuses an empty range, so a uniform frame keeps the previous scale.
    colorMap->rescaleDataRange(true);
    replot();
}

void image::drawCenteredSquare(quint8 size)
{
    const int half = size >> 1;
    const double lo = gridToAxis(16 - half);
    const double hi = gridToAxis(16 + half);

    auto *square = new QCPItemRect(this);
    square->topLeft->setCoords(lo, hi);
    square->bottomRight->setCoords(hi, lo);
    square->setPen(QPen(Qt::white, 4));
    scheduleRemoval(square);
}

void image::drawRoiGrid(quint8 roiSize, QVector<quint16> &roiTemperatures, const quint16 &lowLimit,
                        const quint16 &highLimit)
{
    const int s = roiSize;
    // The sensor only knows these four region sizes; anything else (a size code it never
    // sends) would divide the grid unevenly or by zero. The list is consumed either way, so
    // stale temperatures never label a later grid.
    if (s != 2 && s != 4 && s != 8 && s != 16) {
        roiTemperatures.clear();
        return;
    }

    const QPen pen(Qt::white, 2);
    const int count = FrameSize / (s * s);
    const double side = std::sqrt(double(count));
    const int pointSize = s < 5 ? 8 : 14;
    const int half = s / 2;
    int number = 1;

    for (int i = 0; i < side; ++i) {
        const double X = float(i * s);
        for (int j = 0; j < side; ++j) {
            const double Y = float(j * s);

            auto *rect = new QCPItemRect(this);
            rect->topLeft->setCoords(gridToAxis(X), gridToAxis(Y + s));
            rect->bottomRight->setCoords(gridToAxis(X + s), gridToAxis(Y));
            rect->setPen(pen);
            scheduleRemoval(rect);

            // A short list (a failed region read) labels the first regions only.
            if (roiTemperatures.isEmpty()) {
                continue;
            }
            const quint16 value = roiTemperatures.takeFirst();

            auto *label = new QCPItemText(this);
            label->setFont(QFont(QStringLiteral("Helvetica"), pointSize, 3, false));
            label->position->setCoords(gridToAxis(X + s) - half, gridToAxis(Y + s) - half);
            if (value < lowLimit) {
                label->setColor(Qt::cyan);
            }
            if (value > highLimit) {
                label->setColor(Qt::red);
            }
            label->setText(QStringLiteral("A ") + QString::number(number) + QLatin1Char('\n') +
                           QString::number(double(Brisca::kelvinTenthsToCelsius(value)), 'f', 1));
            ++number;
            scheduleRemoval(label);
        }
    }

    roiTemperatures.clear();
}

void image::scheduleRemoval(QCPAbstractItem *item)
{
    // One queued sweep per rendering instead of one event per item: a 2 x 2 grid alone
    // brings 512 items per frame.
    if (m_scheduledForRemoval.isEmpty()) {
        QMetaObject::invokeMethod(
            this, [this] { removeScheduledItems(); }, Qt::QueuedConnection);
    }
    m_scheduledForRemoval.append(item);
}

void image::removeScheduledItems()
{
    const auto items = std::exchange(m_scheduledForRemoval, {});
    for (const QPointer<QCPAbstractItem> &item : items) {
        // Deleting an item behind the plot's back would leave the plot a dangling pointer;
        // removeItem() unregisters it first.
        if (item) {
            removeItem(item.data());
        }
    }
}
