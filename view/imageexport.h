#pragma once

#include <QImage>
#include <QVector>

class image;

// Getting a frame back out of the image view, as values and as a picture.
namespace ImageExport {

// The frame the plot holds, in the sensor's order: element 32 * column + row, as it was
// handed to setPixelData().
QVector<quint16> shownFrame(const image &plot);

// Renders the plot at its present size times `scale`, with the colour scale and whatever
// overlays the plot holds at this moment. Rendering does not touch what is on screen.
QImage render(image &plot, double scale);

} // namespace ImageExport
