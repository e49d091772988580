#include "animator.h"

#include <QCoreApplication>
#include <QEvent>

Animator::Animator(QObject *target, QObject *parent)
    : QVariantAnimation(parent)
{
    setTargetObject(target);
}

Animator::~Animator()
{
    stop();
}

QObject *Animator::targetObject() const
{
    return m_target.data();
}

void Animator::setTargetObject(QObject *newTarget)
{
    if (m_target.data() == newTarget)
        return;

    if (state() == QAbstractAnimation::Running) {
        qWarning("Animation::setTargetObject: you can't change the target of a running animation");
        return;
    }

    m_target = newTarget;
}

void Animator::setup(int duration, QEasingCurve easing)
{
    setDuration(duration);
    setEasingCurve(easing);
}

void Animator::interpolate(const QVariant &start, const QVariant &end)
{
    setStartValue(start);
    setEndValue(end);
    // start() ignores a running animation, which would keep its old clock and
    // make the new range begin somewhere in the middle: begin again from the
    // new start value instead.
    if (state() != QAbstractAnimation::Stopped)
        stop();
    QVariantAnimation::start();
}

void Animator::setCurrentValue(const QVariant &value)
{
    setStartValue(value);
    setEndValue(value);
    updateCurrentValue(currentValue());
}

void Animator::updateCurrentValue(const QVariant &value)
{
    Q_UNUSED(value)

    if (!m_target)
        return;

    // A widget accepts this event only while it is visible in a window that is
    // not minimised, and then schedules a repaint. Nobody to draw for means
    // there is no point in running on.
    QEvent event(QEvent::StyleAnimationUpdate);
    event.setAccepted(false);
    QCoreApplication::sendEvent(m_target, &event);
    if (!event.isAccepted())
        stop();
}

void Animator::updateState(QAbstractAnimation::State newState, QAbstractAnimation::State oldState)
{
    if (!m_target && oldState == QAbstractAnimation::Stopped) {
        qWarning("Animation::updateState: Changing state of an animation without target");
        return;
    }

    QVariantAnimation::updateState(newState, oldState);

    if (!endValue().isValid() && direction() == QAbstractAnimation::Forward) {
        const char *className = m_target ? m_target->metaObject()->className() : "no target";
        qWarning("Animation::updateState (%s): starting an animation without end value", className);
    }
}
