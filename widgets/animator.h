#pragma once

#include <QEasingCurve>
#include <QPointer>
#include <QVariantAnimation>

// A value animation that tells one target object about every step by a
// QEvent::StyleAnimationUpdate event. Widgets answer that event with a repaint,
// so the target only has to read currentValue() in its paintEvent.
class Animator : public QVariantAnimation
{
    Q_OBJECT
    Q_PROPERTY(QObject *targetObject READ targetObject WRITE setTargetObject)

public:
    explicit Animator(QObject *target, QObject *parent = nullptr);
    ~Animator() override;

    QObject *targetObject() const;
    void setTargetObject(QObject *target);

public Q_SLOTS:
    void setup(int duration, QEasingCurve easing = QEasingCurve::Linear);
    void interpolate(const QVariant &start, const QVariant &end);
    void setCurrentValue(const QVariant &value);

protected:
    void updateCurrentValue(const QVariant &value) override;
    void updateState(QAbstractAnimation::State newState,
                     QAbstractAnimation::State oldState) override;

private:
    QPointer<QObject> m_target;
};
