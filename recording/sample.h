#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QVector>

class BriscaDevice;

namespace Recording {

// The measurements and alarm states of one moment, plus the settings the three image pages
// draw their overlays with, all as the sensor sent them (temperatures in tenths of a kelvin).
// The names are those of the device's caches they are copied from.
struct Measurements
{
    quint16 app1MinTemp = 0;
    quint16 app1MinPosition = 0;
    quint16 app1MaxTemp = 0;
    quint16 app1MaxPosition = 0;
    quint16 app1AvgTemp = 0;
    bool app1Alarm = false;
    quint16 app2AvgTemp = 0;
    bool app2Alarm = false;
    quint16 app3HighestBreachTemp = 0; // 0: no breach ("N/A" on screen)
    quint16 app3HighestBreachArea = 0;
    quint16 app3Counter = 0;
    bool app3Alarm = false;

    bool app1LimitFov = false;
    quint16 app1MaxThreshold = 0;
    quint16 app1MinThreshold = 0;
    quint8 reticleSize = 0;
    quint16 app2MaxThreshold = 0;
    quint16 app2MinThreshold = 0;
    quint8 gridRoiSize = 0;
    quint16 app3MaxThreshold = 0;
    quint16 app3MinThreshold = 0;

    static Measurements fromDevice(const BriscaDevice &device);
    bool operator==(const Measurements &other) const;
    bool operator!=(const Measurements &other) const { return !(*this == other); }
};

// One row of a recording: a set of measurements, or a frame with the measurements of the
// moment it arrived and the region temperatures its region grid is labelled with.
struct Sample
{
    enum class Kind
    {
        Measurements,
        Frame
    };

    QDateTime time;
    Kind kind = Kind::Measurements;
    Measurements measurements;
    QVector<quint16> frame;           // 1024 raw values for a frame, empty otherwise
    QVector<quint16> roiTemperatures; // the labels of the region grid, in region order

    bool isFrame() const { return kind == Kind::Frame; }
};

} // namespace Recording

Q_DECLARE_METATYPE(Recording::Sample)
