#pragma once

#include <QDateTime>
#include <QModbusDevice>
#include <QObject>
#include <QPointer>

class BriscaDevice;

// What the link to the sensor is doing right now, followed from the device the window holds:
// whether a port is open, whether a sensor was validated on it, whether it still answers,
// and whether the line went away under the program.
//
// The sensor counts as silent from the first try that goes unanswered, not only once a
// request has used up its retries: an operator should not look at a live-looking page for
// twelve seconds after the sensor went quiet. Any answer (a refusal too) ends the silence.
class LinkMonitor : public QObject
{
    Q_OBJECT
public:
    enum class State
    {
        NoPort,
        PortOpen,
        Validated,
        NotAnswering,
        LinkLost
    };
    Q_ENUM(State)

    explicit LinkMonitor(QObject *parent = nullptr);

    // Follows `device` from now on; null when the window holds none.
    void setDevice(BriscaDevice *device);

    State state() const { return m_state; }
    // When the present state began.
    QDateTime since() const { return m_since; }
    // The port of the device followed, and the slave last validated on it (0: none).
    QString portName() const { return m_portName; }
    int slave() const { return m_slave; }

signals:
    void stateChanged(LinkMonitor::State state);

private:
    void setState(State state, const QDateTime &since = QDateTime::currentDateTime());
    void deviceStateChanged(QModbusDevice::State state);
    void deviceError(QModbusDevice::Error error);
    void validated();
    void statisticsChanged();
    // The state a connected device is in when nothing is amiss.
    State connectedState() const { return m_slave > 0 ? State::Validated : State::PortOpen; }

    QPointer<BriscaDevice> m_device;
    State m_state = State::NoPort;
    QDateTime m_since;
    QString m_portName;
    int m_slave = 0;
    // The line failed while the port was open: the device is about to close it.
    bool m_lineFailing = false;
    quint64 m_answersSeen = 0;
    quint64 m_failuresSeen = 0;
};
