#include "devicesampler.h"

DeviceSampler::DeviceSampler(QObject *parent)
    : QObject(parent)
{}

void DeviceSampler::setDevice(BriscaDevice *device)
{
    if (m_device)
        disconnect(m_device, nullptr, this, nullptr);
    m_device = device;
    m_setOpen = false;
    m_roiTemperatures.clear();
    if (!device)
        return;
    connect(device, &BriscaDevice::inputRegsDataReady, this, &DeviceSampler::measurementsArrived);
    connect(device, &BriscaDevice::discreteInputsDataReady, this,
            &DeviceSampler::measurementsArrived);
    connect(device, &BriscaDevice::app3DataReady, this, &DeviceSampler::regionsArrived);
    connect(device, &BriscaDevice::pixelDataReady, this, &DeviceSampler::frameArrived);
}

void DeviceSampler::measurementsArrived()
{
    m_setOpen = true;
}

void DeviceSampler::regionsArrived()
{
    m_roiTemperatures = m_device->roiTemperatures;
    if (m_setOpen)
        emitSample(Recording::Sample::Kind::Measurements, {});
}

void DeviceSampler::frameArrived(const QVector<quint16> &frame)
{
    if (frame.size() != Brisca::FramePixelCount)
        return;
    emitSample(Recording::Sample::Kind::Frame, frame);
    // Drawing the frame used the list up; the next frame is labelled from a new read only.
    m_roiTemperatures.clear();
}

void DeviceSampler::emitSample(Recording::Sample::Kind kind, const QVector<quint16> &frame)
{
    Recording::Sample sample;
    sample.time = QDateTime::currentDateTime();
    sample.kind = kind;
    sample.measurements = Recording::Measurements::fromDevice(*m_device);
    if (kind == Recording::Sample::Kind::Frame) {
        sample.frame = frame;
        sample.roiTemperatures = m_roiTemperatures;
    }
    const bool fresh = m_setOpen;
    m_setOpen = false;
    emit sampled(sample, fresh);
}
