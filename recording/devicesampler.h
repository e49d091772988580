#pragma once

#include "briscadevice.h"
#include "sample.h"

#include <QObject>
#include <QPointer>

// Turns what the device delivers into samples: one per set of measurements and one per frame.
//
// A measurement update reaches the device's caches in several answers (Application 1's
// registers, Application 2's average, the alarm states, Application 3's registers, each with
// its own data signal) and always ends with the region temperature read. So a set of
// measurements is complete when the first region chunk answers after new measurement
// answers: that is when a measurement sample is taken. A frame gives a sample of its own,
// carrying the measurements of that moment and the region temperatures the main window
// labels its region grid with; a frame that arrives before its set was closed (all region
// chunks failed) closes the set as well. Nothing is timed: samples follow the answers.
class DeviceSampler : public QObject
{
    Q_OBJECT
public:
    explicit DeviceSampler(QObject *parent = nullptr);

    // Follows `device` from now on (none when null); the previous one is left alone.
    void setDevice(BriscaDevice *device);
    BriscaDevice *device() const { return m_device; }

signals:
    // `freshMeasurements` is false for a frame whose measurements were already sampled.
    void sampled(const Recording::Sample &sample, bool freshMeasurements);

private:
    void measurementsArrived();
    void regionsArrived();
    void frameArrived(const QVector<quint16> &frame);
    void emitSample(Recording::Sample::Kind kind, const QVector<quint16> &frame);

    QPointer<BriscaDevice> m_device;
    // The device's region list as of its last region answer. The main window empties the
    // device's own list when it draws a frame, possibly before this sampler sees the frame.
    QVector<quint16> m_roiTemperatures;
    bool m_setOpen = false;
};
