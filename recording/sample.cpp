#include "sample.h"

#include "briscadevice.h"

#include <tuple>

namespace Recording {

Measurements Measurements::fromDevice(const BriscaDevice &device)
{
    Measurements m;
    m.app1MinTemp = device.app1MinTemp;
    m.app1MinPosition = device.app1MinPosition;
    m.app1MaxTemp = device.app1MaxTemp;
    m.app1MaxPosition = device.app1MaxPosition;
    m.app1AvgTemp = device.app1AvgTemp;
    m.app1Alarm = device.app1Alarm;
    m.app2AvgTemp = device.app2AvgTemp;
    m.app2Alarm = device.app2Alarm;
    m.app3HighestBreachTemp = device.app3HighestBreachTemp;
    m.app3HighestBreachArea = device.app3HighestBreachArea;
    m.app3Counter = device.app3Counter;
    m.app3Alarm = device.app3Alarm;
    m.app1LimitFov = device.app1LimitFov;
    m.app1MaxThreshold = device.app1MaxThreshold;
    m.app1MinThreshold = device.app1MinThreshold;
    m.reticleSize = device.reticleSize;
    m.app2MaxThreshold = device.app2MaxThreshold;
    m.app2MinThreshold = device.app2MinThreshold;
    m.gridRoiSize = device.gridRoiSize;
    m.app3MaxThreshold = device.app3MaxThreshold;
    m.app3MinThreshold = device.app3MinThreshold;
    return m;
}

namespace {

auto fields(const Measurements &m)
{
    return std::tie(m.app1MinTemp, m.app1MinPosition, m.app1MaxTemp, m.app1MaxPosition,
                    m.app1AvgTemp, m.app1Alarm, m.app2AvgTemp, m.app2Alarm, m.app3HighestBreachTemp,
                    m.app3HighestBreachArea, m.app3Counter, m.app3Alarm, m.app1LimitFov,
                    m.app1MaxThreshold, m.app1MinThreshold, m.reticleSize, m.app2MaxThreshold,
                    m.app2MinThreshold, m.gridRoiSize, m.app3MaxThreshold, m.app3MinThreshold);
}

} // namespace

bool Measurements::operator==(const Measurements &other) const
{
    return fields(*this) == fields(other);
}

} // namespace Recording
