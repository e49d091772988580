#include "image.h"

#include "briscaregisters.h"

#include <QCoreApplication>
#include <QFont>
#include <QMetaObject>
#include <QMouseEvent>
#include <QSharedPointer>
#include <QToolTip>
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

// Behind a label, so that it reads on the darkest and the brightest cell alike. Cyan text
// would vanish on a light backing and gets a dark one; the text colours stay as they are.
const QColor LightBacking(255, 255, 255, 230);
const QColor DarkBacking(0, 0, 0, 170);
const QMargins BackingPadding(2, 1, 2, 1);

bool inFrame(QPoint cell)
{
    return cell.x() >= 0 && cell.x() < FrameSide && cell.y() >= 0 && cell.y() < FrameSide;
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

    // What is left over around the square data area becomes the layout's own margin
    // (updateLayout), which nothing else may size.
    plotLayout()->setAutoMargins(QCP::msNone);
    // Hovering shows the pixel under the pointer.
    setMouseTracking(true);
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
    m_hasFrame = true;
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
            label->setBrush(label->color() == QColor(Qt::cyan) ? DarkBacking : LightBacking);
            label->setPadding(BackingPadding);
            label->setText(QStringLiteral("A ") + QString::number(number) + QLatin1Char('\n') +
                           QString::number(double(Brisca::kelvinTenthsToCelsius(value)), 'f', 1));
            ++number;
            scheduleRemoval(label);
        }
    }

    roiTemperatures.clear();
}

void image::drawExtremes(QPoint coldest, QPoint hottest)
{
    const struct
    {
        QPoint cell;
        const char *text;
    } marks[] = {{coldest, QT_TRANSLATE_NOOP("image", "min")},
                 {hottest, QT_TRANSLATE_NOOP("image", "max")}};
    // Cell centres lie 30/31 apart (the map's range is that of the centres).
    const double half = 15.0 / 31.0;
    for (const auto &mark : marks) {
        if (!inFrame(mark.cell)) {
            continue;
        }
        double key = 0;
        double value = 0;
        colorMap->data()->cellToCoord(mark.cell.x(), mark.cell.y(), &key, &value);
        // A dark outline with a white one inside shows on the coldest and the hottest colours.
        for (const QPen &pen : {QPen(Qt::black, 4), QPen(Qt::white, 2)}) {
            auto *outline = new QCPItemRect(this);
            outline->topLeft->setCoords(key - half, value + half);
            outline->bottomRight->setCoords(key + half, value - half);
            outline->setPen(pen);
            scheduleRemoval(outline);
        }
        // Above the cell, or below it in the top rows, where the plot ends.
        const bool nearTop = mark.cell.y() >= FrameSide - 3;
        auto *label = new QCPItemText(this);
        label->setText(QCoreApplication::translate("image", mark.text));
        label->setBrush(LightBacking);
        label->setPadding(BackingPadding);
        label->setPositionAlignment(Qt::AlignHCenter | (nearTop ? Qt::AlignTop : Qt::AlignBottom));
        label->position->setCoords(key, nearTop ? value - half : value + half);
        scheduleRemoval(label);
    }
}

QPoint image::cellAt(const QPointF &pos) const
{
    if (!axisRect()->rect().contains(pos.toPoint())) {
        return {-1, -1};
    }
    int x = -1;
    int y = -1;
    colorMap->data()->coordToCell(xAxis->pixelToCoord(pos.x()), yAxis->pixelToCoord(pos.y()), &x,
                                  &y);
    const QPoint cell(x, y);
    return inFrame(cell) ? cell : QPoint(-1, -1);
}

QString image::cellText(QPoint cell) const
{
    if (!inFrame(cell)) {
        return QString();
    }
    const QString where = QStringLiteral("(%1,%2): ").arg(cell.x()).arg(cell.y());
    // Until the first frame the plot shows a placeholder, not a temperature.
    if (!m_hasFrame) {
        return where + QCoreApplication::translate("image", "no sensor data yet");
    }
    const float celsius = Brisca::kelvinTenthsToCelsius(pixels[cell.y()][cell.x()]);
    return where + QString::number(double(celsius), 'f', 1) + QStringLiteral(" °C");
}

void image::mouseMoveEvent(QMouseEvent *event)
{
    QCustomPlot::mouseMoveEvent(event);
    const QPoint cell = cellAt(event->localPos());
    if (inFrame(cell)) {
        QToolTip::showText(event->globalPos(), cellText(cell), this);
    } else {
        QToolTip::hideText();
    }
}

void image::updateLayout()
{
    QCPLayoutGrid *layout = plotLayout();
    QCustomPlot::updateLayout();
    // Starts from the margins of the last layout: usually they still fit, and one layout is
    // all it takes.
    for (int pass = 0; pass < 3; ++pass) {
        const QRect data = axisRect()->rect();
        const QMargins spare = layout->margins();
        const int width = data.width() + spare.left() + spare.right();
        const int height = data.height() + spare.top() + spare.bottom();
        const int side = qMin(width, height);
        // Beside the controls of a page, the plot stays next to them and the room goes to
        // the far side.
        const QMargins wanted(0, 0, width - side, height - side);
        if (side <= 0 || wanted == spare) {
            return;
        }
        layout->setMargins(wanted);
        // Tick labels of the colour scale may change width with its height: look again.
        QCustomPlot::updateLayout();
    }
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
