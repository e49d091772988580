// Feeds frames of any length, overlay sizes, region lists and limits to the thermal image
// view in any order (opcodes: frame, square, grid, plot, events, replot), rendering
// offscreen. The run stops when a frame of the right size is not stored or one of another
// size is, a region list survives a draw, a cell does not show its pixel, or overlay items
// outlive their rendering.

#include "briscaregisters.h"
#include "fuzzharness.h"
#include "image.h"

#include <QApplication>

#include <cstring>

namespace {

constexpr int Side = Brisca::FrameWidth;

// Values straight from the input or, behind a flag, from a ramp that costs no input bytes.
QVector<quint16> readValues(FuzzInput &in, int count)
{
    if (!in.flag())
        return in.fields<QVector<quint16>>(count, 2);
    const quint16 base = in.u16();
    return FuzzInput::ramp<QVector<quint16>>(count, base, in.u8());
}

void setFrame(image &plot, FuzzInput &in)
{
    // Most frames have the right size; the others any size up to a little beyond it.
    const QVector<quint16> frame =
        readValues(in, in.flag() ? Brisca::FramePixelCount : in.u16() % 1100);
    quint16 before[Side][Side];
    std::memcpy(before, plot.pixels, sizeof before);
    plot.setPixelData(frame);
    if (frame.size() != Brisca::FramePixelCount) {
        FUZZ_CHECK(std::memcmp(before, plot.pixels, sizeof before) == 0,
                   "a frame of the wrong size changed the picture");
        return;
    }
    for (int i = 0; i < Brisca::FramePixelCount; ++i)
        FUZZ_CHECK(plot.pixels[Brisca::frameRow(i)][Brisca::frameColumn(i)] == frame.at(i),
                   "frame element stored in the wrong place");
}

void drawRoiGrid(image &plot, FuzzInput &in)
{
    static const quint8 sizes[] = {2, 4, 8, 16};
    const uint8_t sizeByte = in.u8();
    // The four sizes the sensor uses, or any byte (such as the 0 of a grid code of 8).
    const quint8 size = (sizeByte & 0x80) ? quint8(sizeByte & 0x7F) : sizes[sizeByte % 4];
    QVector<quint16> temperatures = readValues(in, in.u16() % 600);
    const quint16 low = in.u16();
    plot.drawRoiGrid(size, temperatures, low, in.u16());
    FUZZ_CHECK(temperatures.isEmpty(), "region temperatures left after a draw");
}

void plotFrame(image &plot)
{
    plot.plotPixelData();
    QCPColorMapData *data = plot.colorMap->data();
    for (int r = 0; r < Side; ++r) {
        for (int c = 0; c < Side; ++c)
            FUZZ_CHECK(data->cell(c, r) == double(Brisca::kelvinTenthsToCelsius(plot.pixels[r][c])),
                       "a cell does not show its pixel");
    }
    const QCPRange range = plot.colorMap->dataRange();
    FUZZ_CHECK(range.lower <= range.upper, "inverted colour range");
}

image *s_plot = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    fuzzApplication<QApplication>("fuzz_image");
    // Made after the application, so gone before it.
    static image plot;
    plot.resize(640, 520);
    plot.show();
    QCoreApplication::processEvents();
    s_plot = &plot;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    image &plot = *s_plot;
    // Each input starts from a blank picture, so a run does not depend on the one before.
    std::memset(plot.pixels, 0, sizeof plot.pixels);
    in.forEachOp(24, 6, [&](int op) {
        switch (op) {
        case 0:
            return setFrame(plot, in);
        case 1:
            return plot.drawCenteredSquare(in.u8());
        case 2:
            return drawRoiGrid(plot, in);
        case 3:
            return plotFrame(plot);
        case 4:
            return QCoreApplication::processEvents();
        default:
            return plot.replot();
        }
    });
    // Overlays belong to one rendering: once control is back in the event loop, none is left.
    QCoreApplication::processEvents();
    FUZZ_CHECK(plot.itemCount() == 0, "overlay items outlived their rendering");
    FUZZ_CHECK(plot.plottableCount() == 1, "plottables added or lost");
    return 0;
}
