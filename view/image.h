#pragma once

#include <QVector>
#include <qcustomplot.h>

// One 32 x 32 thermal frame as a colour map in degrees Celsius, with a temperature bar on
// the right and the per-application overlays (centred square, region grid) on top.
//
// Call order per rendering: setPixelData(), then any overlays, then plotPixelData(). Overlays
// belong to exactly one rendering: they are taken out of the plot as soon as control returns
// to the event loop, so the replot inside plotPixelData() is the only one that shows them.
class image : public QCustomPlot
{
public:
    explicit image(QWidget *parent = nullptr);

    // Stores a frame of 1024 raw values (tenths of a kelvin, 32 per column). Any other length
    // is ignored and the last frame stays. Draws nothing.
    void setPixelData(QVector<quint16> frame);
    // Puts the stored frame into the map in degrees Celsius, fits the colour range, replots.
    void plotPixelData();
    // A white square of `size` pixels (odd sizes round down) centred on the frame.
    void drawCenteredSquare(quint8 size);
    // The grid of regions of `roiSize` pixels (2, 4, 8 or 16), each labelled with its number
    // and the next temperature from the front of `roiTemperatures`; the list is emptied.
    void drawRoiGrid(quint8 roiSize, QVector<quint16> &roiTemperatures, const quint16 &lowLimit,
                     const quint16 &highLimit);
    // Marks the coldest and the hottest pixel, given as (x, y) cells: x along the bottom
    // axis, y up the left one, as the sensor reports positions. An overlay like the others.
    void drawExtremes(QPoint coldest, QPoint hottest);

    // The cell drawn under a point of the widget, or (-1, -1) off the frame.
    QPoint cellAt(const QPointF &pos) const;
    // What hovering over `cell` says: its position and the temperature of the last frame.
    QString cellText(QPoint cell) const;

    QCPColorMap *colorMap;
    QCPColorScale *colorScale;
    // Zero until the first frame, so a redraw before any frame shows a defined picture.
    quint16 pixels[32][32] = {};

protected:
    // Keeps the data area square, so that every pixel of the frame is drawn square whatever
    // the widget's shape; the room left over stays empty to the right of or below the plot.
    void updateLayout() override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    void scheduleRemoval(QCPAbstractItem *item);
    void removeScheduledItems();

    QVector<QPointer<QCPAbstractItem>> m_scheduledForRemoval;
    // Whether `pixels` holds a frame from the sensor rather than the zeros of start-up.
    bool m_hasFrame = false;
};
