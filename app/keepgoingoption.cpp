#include "keepgoingoption.h"

#include "briscadevice.h"

#include <QAbstractButton>
#include <QAction>

#include <utility>

KeepGoingOption::KeepGoingOption(const QList<QAbstractButton *> &cycleButtons,
                                 std::function<bool()> continuousModeRuns, QObject *parent)
    : QObject(parent)
    , m_continuousModeRuns(std::move(continuousModeRuns))
{
    m_action = new QAction(tr("Keep going after a missed frame"), this);
    m_action->setCheckable(true);
    m_action->setChecked(false);
    m_action->setToolTip(tr("When a frame does not arrive, count it and ask for the next image "
                            "after a short pause instead of stopping"));
    for (QAbstractButton *button : cycleButtons) {
        button->addAction(m_action);
        button->setContextMenuPolicy(Qt::ActionsContextMenu);
    }
    m_pause.setSingleShot(true);
    m_pause.setInterval(PauseMs);
    connect(&m_pause, &QTimer::timeout, this, &KeepGoingOption::requestNext);
}

bool KeepGoingOption::isOn() const
{
    return m_action->isChecked();
}

void KeepGoingOption::setDevice(BriscaDevice *device)
{
    if (m_device)
        disconnect(m_device, nullptr, this, nullptr);
    m_pause.stop();
    m_device = device;
    if (device)
        connect(device, &BriscaDevice::imageMissed, this, &KeepGoingOption::imageMissed);
}

void KeepGoingOption::imageMissed()
{
    // A single image asked for by hand that fails is no loop to keep going.
    if (!isOn() || !m_continuousModeRuns())
        return;
    emit frameMissed();
    m_pause.start();
}

void KeepGoingOption::requestNext()
{
    // The mode may have been stopped, or stopped and started again (which asks for an image of
    // its own), or the link lost, during the pause.
    if (!m_device || !m_continuousModeRuns() || m_device->imagesPending() > 0)
        return;
    m_device->requestImage();
}
