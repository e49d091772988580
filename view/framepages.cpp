#include "framepages.h"

#include "briscaregisters.h"
#include "image.h"

namespace FramePages {

namespace {

// The limited field of view of Application 1 is the inner 20 x 20 pixels.
constexpr quint8 LimitedFieldOfView = 20;

} // namespace

QPoint positionCell(quint16 position)
{
    return QPoint(Brisca::positionFirst(position), Brisca::positionSecond(position));
}

bool extremesKnown(const Recording::Measurements &m)
{
    return m.app1MinTemp != 0 || m.app1MaxTemp != 0;
}

void forgetExtremes(Recording::Measurements &m)
{
    m.app1MinTemp = 0;
    m.app1MaxTemp = 0;
}

void drawOverlays(image &plot, int page, const Recording::Sample &sample)
{
    const Recording::Measurements &m = sample.measurements;
    switch (page) {
    case Application1:
        if (m.app1LimitFov)
            plot.drawCenteredSquare(LimitedFieldOfView);
        if (extremesKnown(m))
            plot.drawExtremes(positionCell(m.app1MinPosition), positionCell(m.app1MaxPosition));
        break;
    case Application2:
        plot.drawCenteredSquare(m.reticleSize);
        break;
    case Application3: {
        // The sensor's four region sizes; any other code shows the frame bare.
        if (Brisca::gridCodeKnown(m.gridRoiSize)) {
            QVector<quint16> labels = sample.roiTemperatures;
            plot.drawRoiGrid(Brisca::roiSideFromGridCode(m.gridRoiSize), labels, m.app3MinThreshold,
                             m.app3MaxThreshold);
        }
        break;
    }
    default:
        break;
    }
}

void showFrame(image &plot, int page, const Recording::Sample &sample)
{
    if (sample.frame.size() != Brisca::FramePixelCount)
        return;
    plot.setPixelData(sample.frame);
    drawOverlays(plot, page, sample);
    plot.plotPixelData();
}

} // namespace FramePages
