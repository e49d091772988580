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

    QCPColorMap *colorMap;
    QCPColorScale *colorScale;
    // Zero until the first frame, so a redraw before any frame shows a defined picture.
    quint16 pixels[32][32] = {};

private:
    void scheduleRemoval(QCPAbstractItem *item);
    void removeScheduledItems();

    QVector<QPointer<QCPAbstractItem>> m_scheduledForRemoval;
};
