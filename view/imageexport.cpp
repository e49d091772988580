#include "imageexport.h"

#include "image.h"

namespace ImageExport {

QVector<quint16> shownFrame(const image &plot)
{
    QVector<quint16> frame(32 * 32);
    for (int r = 0; r < 32; ++r) {
        for (int c = 0; c < 32; ++c)
            frame[32 * c + r] = plot.pixels[r][c];
    }
    return frame;
}

QImage render(image &plot, double scale)
{
    return plot.toPixmap(0, 0, scale).toImage();
}

} // namespace ImageExport
