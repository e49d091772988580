#include "linkmonitor.h"

#include "briscadevice.h"

#include <QVariant>

namespace {

// A refusal or a stray answer still shows that a sensor listens.
quint64 answersOf(const LinkStatistics &s)
{
    return s.answers + s.exceptionCount() + s.strayAnswers;
}

quint64 failuresOf(const LinkStatistics &s)
{
    return s.timeouts + s.otherErrors;
}

} // namespace

LinkMonitor::LinkMonitor(QObject *parent)
    : QObject(parent)
    , m_since(QDateTime::currentDateTime())
{}

void LinkMonitor::setDevice(BriscaDevice *device)
{
    if (device == m_device)
        return;
    if (m_device)
        disconnect(m_device, nullptr, this, nullptr);
    // The window lets a failed line go from inside the device's own report of its closing,
    // which may reach the window before it reaches this monitor.
    const bool lost = m_lineFailing;
    m_device = device;
    m_lineFailing = false;
    m_slave = 0;
    if (!device) {
        // A lost link stays on show until the operator connects again.
        if (lost)
            setState(State::LinkLost);
        else if (m_state != State::LinkLost)
            setState(State::NoPort);
        return;
    }

    m_answersSeen = answersOf(device->statistics());
    m_failuresSeen = failuresOf(device->statistics());
    connect(device, &QModbusDevice::stateChanged, this, &LinkMonitor::deviceStateChanged);
    connect(device, &QModbusDevice::errorOccurred, this, &LinkMonitor::deviceError);
    connect(device, &BriscaDevice::connectionValidated, this, &LinkMonitor::validated);
    connect(device, &BriscaDevice::statisticsChanged, this, &LinkMonitor::statisticsChanged);
    if (device->state() == QModbusDevice::ConnectedState)
        deviceStateChanged(QModbusDevice::ConnectedState);
    else if (m_state != State::LinkLost)
        setState(State::NoPort);
}

void LinkMonitor::setState(State state, const QDateTime &since)
{
    if (state == m_state)
        return;
    m_state = state;
    m_since = since.isValid() ? since : QDateTime::currentDateTime();
    emit stateChanged(state);
}

void LinkMonitor::deviceStateChanged(QModbusDevice::State state)
{
    if (state == QModbusDevice::ConnectedState) {
        m_portName =
            m_device->connectionParameter(QModbusDevice::SerialPortNameParameter).toString();
        m_lineFailing = false;
        m_slave = 0;
        setState(State::PortOpen);
    } else if (state == QModbusDevice::UnconnectedState) {
        // The device closes a failed line itself; a port closed on purpose reports no error
        // first.
        const State closed = m_lineFailing ? State::LinkLost : State::NoPort;
        m_lineFailing = false;
        m_slave = 0;
        setState(closed);
    }
}

void LinkMonitor::deviceError(QModbusDevice::Error error)
{
    // The same errors on which the device gives the line up; a Connect that fails reports a
    // connection error too, but never while connected.
    if ((error == QModbusDevice::ReadError || error == QModbusDevice::WriteError ||
         error == QModbusDevice::ConnectionError) &&
        m_device->state() == QModbusDevice::ConnectedState)
        m_lineFailing = true;
}

void LinkMonitor::validated()
{
    // The window's own handler of the signal has already taken the address for its reads.
    const int slave = m_device->slaveAddress;
    if (slave == m_slave && m_state == State::Validated)
        return;
    m_slave = slave;
    // Another sensor is news even when the state's name stays the same.
    m_state = State::Validated;
    m_since = QDateTime::currentDateTime();
    emit stateChanged(m_state);
}

void LinkMonitor::statisticsChanged()
{
    const LinkStatistics &s = m_device->statistics();
    const quint64 answers = answersOf(s);
    const quint64 failures = failuresOf(s);
    if (answers < m_answersSeen || failures < m_failuresSeen) {
        // The counters were reset: nothing happened on the line.
        m_answersSeen = answers;
        m_failuresSeen = failures;
        return;
    }
    const bool answered = answers != m_answersSeen;
    const bool failed = failures != m_failuresSeen;
    m_answersSeen = answers;
    m_failuresSeen = failures;
    if (m_device->state() != QModbusDevice::ConnectedState)
        return; // a closing port aborts what was under way: that is no silence
    if (answered && m_state == State::NotAnswering)
        setState(connectedState());
    else if (failed && !answered)
        setState(State::NotAnswering, s.lastFailure);
}
