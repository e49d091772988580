#pragma once

#include "animator.h"
#include "selectioncontrol.h"

#include <QBrush>
#include <QColor>
#include <QEasingCurve>
#include <QFont>
#include <QMargins>
#include <QPixmap>
#include <QPointer>

// An animated on/off control in a flat material look: a rounded track with a
// round thumb that slides to the right end and takes the accent colour when
// checked, and an optional text beside it.
class Switch : public SelectionControl
{
    Q_OBJECT

public:
    explicit Switch(QWidget *parent = nullptr);
    explicit Switch(const QString &text, QWidget *parent = nullptr);
    Switch(const QString &text, const QBrush &brush, QWidget *parent = nullptr);
    ~Switch() override;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void applyCheckState(Qt::CheckState state) override;

    struct Timing
    {
        QEasingCurve::Type easing;
        int duration; // ms
    };

    // The look of the control. Subclasses may change these before the switch
    // is first shown; the on and off colours are read on every state change.
    int indicatorHeight = 36;
    QFont labelFont{QStringLiteral("Roboto medium"), 13};
    QMargins indicatorMargins{8, 8, 8, 8};
    QColor thumbOnColor;
    double thumbOnOpacity = 1.0;
    QColor trackOnColor;
    double trackOnOpacity = 0.5;
    QColor thumbOffColor;
    double thumbOffOpacity = 1.0;
    QColor trackOffColor;
    double trackOffOpacity = 0.38;
    QColor thumbDisabledColor;
    QColor trackDisabledColor;
    double trackDisabledOpacity = 0.12;
    QColor textColor;
    double disabledTextOpacity = 0.26;
    // Material motion: colours blend linearly, the thumb eases in and out, all
    // within 150 ms so the control still feels immediate.
    Timing thumbColorTiming{QEasingCurve::Linear, 150};
    Timing trackColorTiming{QEasingCurve::Linear, 150};
    Timing thumbPositionTiming{QEasingCurve::InOutQuad, 150};
    QPixmap shadowPixmap;
    QPointer<Animator> thumbColorAnimator;
    QPointer<Animator> trackColorAnimator;
    QPointer<Animator> thumbPositionAnimator;

private:
    void setupAppearance();
    int indicatorWidth() const;
    int checkedPosition() const;
    QPointF thumbCentre(const QRectF &track, qreal left) const;
};
