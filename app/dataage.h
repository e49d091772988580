#pragma once

#include "linkmonitor.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QVector>

#include <array>

class BriscaDevice;
class QLabel;
class QWidget;

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

// The age of what the three application pages show.
//
// Each group of values (the measurements of one application, the three alarm states, the
// frame on the three plots) keeps when it was last received. Everything received before the
// sensor fell silent, before the link was lost or the port closed, or before another slave
// was chosen is old: its widgets are greyed and each page says from when its values are,
// until fresh ones arrive. Nothing is timed; only the link and the answers change the age.
class DataAge : public QObject
{
    Q_OBJECT
public:
    enum Group
    {
        App1Measurements,
        App2Measurements,
        App3Measurements,
        Alarms,
        Frame,
        GroupCount
    };
    enum Page
    {
        Application1,
        Application2,
        Application3,
        PageCount
    };

    // Takes the value widgets and the age line of each page from the window's form.
    DataAge(const Ui::MainWindow &form, LinkMonitor *link, QObject *parent = nullptr);

    // Follows the answers of `device` from now on; null when the window holds none.
    void setDevice(BriscaDevice *device);

    // Received since the sensor last fell silent and in the present session.
    bool isCurrent(Group group) const;
    // Received once, but before something made it old.
    bool isOld(Group group) const;
    QDateTime receivedAt(Group group) const { return m_groups[group].receivedAt; }
    // What the age line of `page` says.
    QString pageText(Page page) const;

private:
    struct GroupState
    {
        QDateTime receivedAt;
        int epoch = -1; // none received yet
        QVector<QWidget *> widgets;
    };

    void linkStateChanged(LinkMonitor::State state);
    void inputRegistersReceived(int start, int count);
    void framesArrived(const QVector<quint16> &frame);
    void received(Group group);
    // Everything received so far becomes old, for the reason given.
    void makeOld(const QString &reason);
    void show();
    QString partText(Group group, const QString &what) const;

    LinkMonitor *m_link;
    QPointer<BriscaDevice> m_device;
    std::array<GroupState, GroupCount> m_groups;
    std::array<QLabel *, PageCount> m_ageLines{};
    // Why each epoch ended, by epoch.
    QVector<QString> m_endings;
    LinkMonitor::State m_linkState = LinkMonitor::State::NoPort;
    int m_lastSlave = 0;
};
