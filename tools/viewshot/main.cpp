// brisca-viewshot OUTDIR
//
// Renders the thermal image view from the virtual sensor's ramp frame (element i reads
// 2731 + i, so 0.0 °C bottom-left up to 102.3 °C top-right) and saves one PNG per overlay:
// none, the centred square of Application 1's limited field of view, and the region grid
// of Application 3 at a large and at the smallest region size (the latter at twice the
// size, or its 256 labels of 8 points could not be read). The frame, the region
// temperatures and the thresholds come from the sensor model itself, so the labels are the
// ones a connected sensor would report. The pictures in docs/view come from here.

#include "briscaregisters.h"
#include "image.h"
#include "simsensor.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>

#include <cstdio>
#include <functional>

namespace {

using BriscaSim::Sensor;

// The frame as the sensor link delivers it: 1024 input registers in register order.
QVector<quint16> frameOf(const Sensor &sensor)
{
    const BriscaSim::Frame &frame = sensor.lastFrame();
    return QVector<quint16>(frame.begin(), frame.end());
}

// The region temperatures for a grid code, as the sensor computes them for its regions.
QVector<quint16> regionTemperatures(Sensor &sensor, quint8 gridCode)
{
    sensor.setValue(Sensor::Table::Holding, BriscaSim::HoldGrid, gridCode, 0);
    QVector<quint16> values;
    for (int n = 0; n < Brisca::roiCountFromGridCode(gridCode); ++n)
        values << sensor.value(Sensor::Table::Input, BriscaSim::RegionBase + n);
    return values;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: brisca-viewshot OUTDIR\n");
        return 2;
    }
    const QDir outDir(args.at(1));
    if (!QDir().mkpath(outDir.path())) {
        std::fprintf(stderr, "brisca-viewshot: cannot create %s\n", qPrintable(args.at(1)));
        return 1;
    }
    // The size the main window gives the plot at its minimum.
    const QSize size(650, 490);

    BriscaSim::SensorConfig config;
    config.pattern = BriscaSim::Pattern::Ramp;
    Sensor sensor(config);
    const quint16 low = sensor.value(Sensor::Table::Holding, BriscaSim::HoldApp3Min);
    const quint16 high = sensor.value(Sensor::Table::Holding, BriscaSim::HoldApp3Max);

    image view;
    view.show();

    // Each picture is grabbed right after plotPixelData(): the overlays belong to that one
    // rendering and leave the plot as soon as the event loop runs again.
    const auto shoot = [&](const QString &file, QSize viewSize,
                           const std::function<void()> &overlay) {
        view.resize(viewSize);
        view.setPixelData(frameOf(sensor));
        overlay();
        view.plotPixelData();
        const QString path = outDir.filePath(file);
        if (!view.grab().save(path, "PNG")) {
            std::fprintf(stderr, "brisca-viewshot: cannot write %s\n", qPrintable(path));
            return false;
        }
        std::printf("%s\n", qPrintable(path));
        QCoreApplication::processEvents();
        return true;
    };

    bool ok = shoot(QStringLiteral("ramp-plain.png"), size, [] {});
    ok = shoot(QStringLiteral("ramp-square.png"), size, [&] { view.drawCenteredSquare(20); }) && ok;
    for (const quint8 code : {quint8(3), quint8(1)}) {
        const int side = Brisca::roiSideFromGridCode(code);
        ok = shoot(QStringLiteral("ramp-grid-%1px.png").arg(side), side < 5 ? size * 2 : size,
                   [&] {
                       QVector<quint16> temperatures = regionTemperatures(sensor, code);
                       view.drawRoiGrid(quint8(side), temperatures, low, high);
                   }) &&
             ok;
    }
    return ok ? 0 : 1;
}
