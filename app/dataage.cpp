#include "dataage.h"
#include "ui_mainwindow.h"

#include "briscadevice.h"
#include "briscaregisters.h"

#include <QGraphicsOpacityEffect>
#include <QLabel>

namespace {

// Old values stay readable, but no longer look like what the sensor says now.
constexpr qreal OldOpacity = 0.35;

QString clockText(const QDateTime &time)
{
    return time.toString(QStringLiteral("HH:mm:ss"));
}

} // namespace

DataAge::DataAge(const Ui::MainWindow &form, LinkMonitor *link, QObject *parent)
    : QObject(parent)
    , m_link(link)
{
    m_groups[App1Measurements].widgets = {form.label_app1MeasuredMin, form.label_app1MeasuredAvg,
                                          form.label_app1MeasuredMax, form.label_app1MinCoordinates,
                                          form.label_app1MaxCoordinates};
    m_groups[App2Measurements].widgets = {form.label_app2MeasuredAvg};
    m_groups[App3Measurements].widgets = {form.label_app3HighestBreachTemp,
                                          form.label_app3PageHighestBreachCoords,
                                          form.label_app3CounterValue};
    m_groups[Alarms].widgets = {form.label_app1PageApplicationOneStatus,
                                form.label_app2PageApplicationTwoStatus,
                                form.label_app3PageApplicationThreeStatus};
    m_groups[Frame].widgets = {form.tempPlot_app1, form.tempPlot_app2, form.tempPlot_app3};
    m_ageLines = {form.label_app1DataAge, form.label_app2DataAge, form.label_app3DataAge};
    // Room for the third line, that of old values, so that the page does not move when it
    // comes and goes.
    for (QLabel *line : m_ageLines)
        line->setMinimumHeight(3 * line->fontMetrics().lineSpacing());

    for (const GroupState &group : m_groups) {
        for (QWidget *widget : group.widgets) {
            auto *effect = new QGraphicsOpacityEffect(widget);
            effect->setOpacity(OldOpacity);
            effect->setEnabled(false);
            widget->setGraphicsEffect(effect);
        }
    }
    connect(link, &LinkMonitor::stateChanged, this, &DataAge::linkStateChanged);
    show();
}

void DataAge::setDevice(BriscaDevice *device)
{
    if (device == m_device)
        return;
    if (m_device)
        disconnect(m_device, nullptr, this, nullptr);
    m_device = device;
    if (!device)
        return;
    connect(device, &BriscaDevice::inputRegistersReceived, this, &DataAge::inputRegistersReceived);
    connect(device, &BriscaDevice::discreteInputsDataReady, this, [this] { received(Alarms); });
    connect(device, &BriscaDevice::pixelDataReady, this, &DataAge::framesArrived);
}

bool DataAge::isCurrent(Group group) const
{
    return m_groups[group].epoch == m_endings.size();
}

bool DataAge::isOld(Group group) const
{
    const int epoch = m_groups[group].epoch;
    return epoch >= 0 && epoch < m_endings.size();
}

void DataAge::linkStateChanged(LinkMonitor::State state)
{
    const LinkMonitor::State previous = m_linkState;
    m_linkState = state;
    const QString at = clockText(m_link->since());
    switch (state) {
    case LinkMonitor::State::NotAnswering:
        makeOld(tr("the sensor stopped answering at %1").arg(at));
        break;
    case LinkMonitor::State::LinkLost:
        makeOld(tr("the link was lost at %1").arg(at));
        break;
    case LinkMonitor::State::NoPort:
        // After a lost link the values are old already, and for that reason.
        if (previous != LinkMonitor::State::NoPort && previous != LinkMonitor::State::LinkLost)
            makeOld(tr("the port was closed at %1").arg(at));
        break;
    case LinkMonitor::State::Validated:
        // The same sensor validated again in a new session starts from values that the
        // closing already made old; another one makes the present values someone else's.
        if (m_link->slave() != m_lastSlave) {
            if (m_lastSlave != 0)
                makeOld(tr("slave %1 was selected at %2").arg(m_link->slave()).arg(at));
            m_lastSlave = m_link->slave();
        }
        break;
    case LinkMonitor::State::PortOpen:
        break;
    }
}

void DataAge::inputRegistersReceived(int start, int count)
{
    const auto covers = [start, count](int address) {
        return address >= start && address < start + count;
    };
    if (covers(Brisca::InputApp1MinTemp))
        received(App1Measurements);
    if (covers(Brisca::InputApp2AvgTemp))
        received(App2Measurements);
    if (covers(Brisca::InputApp3HighestBreachTemp))
        received(App3Measurements);
}

void DataAge::framesArrived(const QVector<quint16> &frame)
{
    // The window draws only whole frames.
    if (frame.size() == Brisca::FramePixelCount)
        received(Frame);
}

void DataAge::received(Group group)
{
    m_groups[group].receivedAt = QDateTime::currentDateTime();
    m_groups[group].epoch = m_endings.size();
    show();
}

void DataAge::makeOld(const QString &reason)
{
    m_endings.append(reason);
    show();
}

QString DataAge::partText(Group group, const QString &what) const
{
    const QString at = clockText(m_groups[group].receivedAt);
    if (isCurrent(group))
        return tr("%1 received %2").arg(what, at);
    return tr("%1 from %2 (old)").arg(what, at);
}

QString DataAge::pageText(Page page) const
{
    const Group own = Group(page);
    const QString measurements = m_groups[own].epoch < 0 ? tr("No measurements received yet")
                                                         : partText(own, tr("Measurements"));
    // The placeholder ramp looks like a picture; it must not pass for one.
    const QString picture = m_groups[Frame].epoch < 0 ? tr("The plot shows no sensor data yet")
                                                      : partText(Frame, tr("Image"));
    QString text = measurements + QLatin1Char('\n') + picture;

    // The newest of the old values was received before this happened, the older ones too.
    int oldest = -1;
    for (Group group : {own, Frame}) {
        if (isOld(group))
            oldest = qMax(oldest, m_groups[group].epoch);
    }
    if (oldest >= 0)
        text += QLatin1Char('\n') + tr("Old: %1.").arg(m_endings.at(oldest));
    return text;
}

void DataAge::show()
{
    for (const GroupState &group : m_groups) {
        const bool old = group.epoch >= 0 && group.epoch < m_endings.size();
        for (QWidget *widget : group.widgets)
            widget->graphicsEffect()->setEnabled(old);
    }
    for (int page = 0; page < PageCount; ++page) {
        const bool old = isOld(Group(page)) || isOld(Frame);
        QLabel *line = m_ageLines[size_t(page)];
        line->setText(pageText(Page(page)));
        const QString style =
            old ? QStringLiteral("QLabel { color : #b06000; font-weight : bold; }")
                : QStringLiteral("QLabel { color : #5f6368; }");
        // Setting a style sheet restyles the label: only when it changes.
        if (line->styleSheet() != style)
            line->setStyleSheet(style);
    }
}
