#include "linkstateindicator.h"

namespace {

QString timeText(const QDateTime &time)
{
    return time.toString(QStringLiteral("HH:mm:ss"));
}

// Green and red as the pages use them; amber for a sensor that may come back.
const char *colourOf(LinkMonitor::State state)
{
    switch (state) {
    case LinkMonitor::State::NoPort:
        return "#757575";
    case LinkMonitor::State::PortOpen:
        return "#1a73e8";
    case LinkMonitor::State::Validated:
        return "#1e8e3e";
    case LinkMonitor::State::NotAnswering:
        return "#e37400";
    case LinkMonitor::State::LinkLost:
        return "#ff0000";
    }
    return "#757575";
}

} // namespace

LinkStateIndicator::LinkStateIndicator(LinkMonitor *monitor, QWidget *parent)
    : QLabel(parent)
    , m_monitor(monitor)
{
    setObjectName(QStringLiteral("linkStateIndicator"));
    setTextFormat(Qt::RichText);
    connect(monitor, &LinkMonitor::stateChanged, this, &LinkStateIndicator::showState);
    showState();
}

QString LinkStateIndicator::stateText(const LinkMonitor &monitor)
{
    switch (monitor.state()) {
    case LinkMonitor::State::NoPort:
        return tr("No port open");
    case LinkMonitor::State::PortOpen:
        return tr("Port %1 open, no sensor validated").arg(monitor.portName());
    case LinkMonitor::State::Validated:
        return tr("Sensor validated, slave %1").arg(monitor.slave());
    case LinkMonitor::State::NotAnswering:
        return tr("Not answering since %1").arg(timeText(monitor.since()));
    case LinkMonitor::State::LinkLost:
        return tr("Link lost at %1").arg(timeText(monitor.since()));
    }
    return QString();
}

void LinkStateIndicator::showState()
{
    const LinkMonitor::State state = m_monitor->state();
    setText(QStringLiteral("<span style=\"color:%1\">&#9679;</span> %2")
                .arg(QLatin1String(colourOf(state)), stateText(*m_monitor).toHtmlEscaped()));
    switch (state) {
    case LinkMonitor::State::NoPort:
        setToolTip(tr("Open a port on the Connection page."));
        break;
    case LinkMonitor::State::PortOpen:
        setToolTip(tr("The port is open. Choose the slave and press Select slave."));
        break;
    case LinkMonitor::State::Validated:
        setToolTip(tr("The sensor answers. Values on the pages show when they were received."));
        break;
    case LinkMonitor::State::NotAnswering:
        setToolTip(tr("The sensor stopped answering. The values on the pages are old until it "
                      "answers again and they are read anew."));
        break;
    case LinkMonitor::State::LinkLost:
        setToolTip(tr("The port went away (adapter pulled or line hung up). Check the adapter "
                      "and press Connect."));
        break;
    }
}
