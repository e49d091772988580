#include "switch.h"

#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QResizeEvent>

#include <cmath>

QT_BEGIN_NAMESPACE
// Exported by QtWidgets without a public header; the same blur the toolkit
// uses for its own drop shadows.
Q_WIDGETS_EXPORT void qt_blurImage(QPainter *p, QImage &blurImage, qreal radius, bool quality,
                                   bool alphaOnly, int transposed = 0);
QT_END_NAMESPACE

namespace {

// The thumb is a circle of this diameter, larger than the track is high, so it
// overhangs the track above and below.
constexpr qreal ThumbDiameter = 23.0;
// The shadow is a slightly larger circle, blurred inside a square that leaves
// room for the blur, drawn one pixel below the thumb.
constexpr int ShadowSize = 29;
constexpr qreal ShadowDiameter = 25.0;
constexpr int ShadowAlpha = 70;
constexpr qreal ShadowBlurRadius = 8.0;
constexpr qreal ShadowDrop = 1.0;
// Corner radius of the track: half its height, for round ends.
constexpr qreal TrackRadius = 8.0;
// The track is 2 pixels slimmer than the indicator area at top and bottom.
constexpr int TrackInset = 2;

QColor withOpacity(const QColor &color, double opacity)
{
    QColor result = color;
    result.setAlpha(int(std::floor(opacity * 255.0 + 0.5)));
    return result;
}

} // namespace

Switch::Switch(QWidget *parent)
    : SelectionControl(parent)
    , thumbOnColor(QStringLiteral("#00bcd4"))
    , trackOnColor(QStringLiteral("#00bcd4"))
    , thumbOffColor(QStringLiteral("#fafafa"))
    , trackOffColor(QStringLiteral("#000000"))
    , thumbDisabledColor(QStringLiteral("#bdbdbd"))
    , trackDisabledColor(QStringLiteral("#000000"))
    , textColor(QStringLiteral("#000000"))
{
    setupAppearance();
}

Switch::Switch(const QString &text, QWidget *parent)
    : Switch(parent)
{
    setText(text);
}

Switch::Switch(const QString &text, const QBrush &brush, QWidget *parent)
    : Switch(text, parent)
{
    thumbOnColor = brush.color();
    trackOnColor = brush.color();
}

Switch::~Switch() = default;

void Switch::setupAppearance()
{
    setFont(labelFont);
    setObjectName(QStringLiteral("Switch"));

    thumbColorAnimator = new Animator(this, this);
    trackColorAnimator = new Animator(this, this);
    thumbPositionAnimator = new Animator(this, this);

    thumbPositionAnimator->setup(thumbPositionTiming.duration,
                                 QEasingCurve(thumbPositionTiming.easing));
    trackColorAnimator->setup(trackColorTiming.duration, QEasingCurve(trackColorTiming.easing));
    thumbColorAnimator->setup(thumbColorTiming.duration, QEasingCurve(thumbColorTiming.easing));

    const QColor trackOff = withOpacity(trackOffColor, trackOffOpacity);
    trackColorAnimator->setStartValue(trackOff);
    trackColorAnimator->setEndValue(trackOff);
    const QColor thumbOff = withOpacity(thumbOffColor, thumbOffOpacity);
    thumbColorAnimator->setStartValue(thumbOff);
    thumbColorAnimator->setEndValue(thumbOff);
    // The position animator keeps no value until the first change: it reads
    // as 0, the unchecked end.

    QPalette pal = palette();
    pal.setBrush(QPalette::Active, QPalette::ButtonText, QBrush(textColor));
    pal.setBrush(QPalette::Disabled, QPalette::ButtonText, QBrush(textColor));
    setPalette(pal);

    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

int Switch::indicatorWidth() const
{
    return indicatorMargins.left() + indicatorHeight + indicatorMargins.right();
}

int Switch::checkedPosition() const
{
    return 2 * (indicatorMargins.left() + indicatorMargins.right()) + 2 * TrackInset;
}

QPointF Switch::thumbCentre(const QRectF &track, qreal left) const
{
    // The thumb spans from the moving left edge to the track's right end; its
    // centre therefore travels half as far as the left edge.
    QRectF thumb = track;
    thumb.setLeft(left);
    return thumb.center();
}

QSize Switch::sizeHint() const
{
    const int textWidth = QFontMetrics(font()).horizontalAdvance(text());
    return QSize(indicatorWidth() + textWidth, indicatorHeight);
}

void Switch::paintEvent(QPaintEvent *)
{
    const int w = indicatorWidth();
    const bool rightToLeft = layoutDirection() == Qt::RightToLeft;
    const QRect indicator(rightToLeft ? width() - w : 0, 0, w, indicatorHeight);
    const QRect label =
        rightToLeft ? QRect(0, 0, width() - w, height()) : QRect(w, 0, width() - w, height());
    const QRectF track =
        QRectF(indicator.marginsRemoved(indicatorMargins)).adjusted(0, TrackInset, 0, -TrackInset);
    const qreal sideMargins = indicatorMargins.left() + indicatorMargins.right();
    const QPointF thumbOffset(ThumbDiameter / 2, ThumbDiameter / 2);
    const QPointF shadowOffset(ShadowSize / 2.0, ShadowSize / 2.0 - ShadowDrop);

    QPainter painter(this);

    if (isEnabled()) {
        painter.setOpacity(1.0);
        painter.setPen(Qt::NoPen);
        painter.setBrush(trackColorAnimator->currentValue().value<QColor>());
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.drawRoundedRect(track, TrackRadius, TrackRadius, Qt::AbsoluteSize);
        painter.setRenderHint(QPainter::Antialiasing, false);

        const int position = thumbPositionAnimator->currentValue().toInt();
        const QPointF centre = thumbCentre(track, track.x() - sideMargins - TrackInset + position);
        if (!shadowPixmap.isNull())
            painter.drawPixmap(centre - shadowOffset, shadowPixmap);

        painter.setBrush(thumbColorAnimator->currentValue().value<QColor>());
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.drawEllipse(QRectF(centre - thumbOffset, QSizeF(ThumbDiameter, ThumbDiameter)));
        painter.setRenderHint(QPainter::Antialiasing, false);

        if (text().isEmpty())
            return;
        painter.setOpacity(1.0);
        painter.setPen(palette().color(QPalette::Active, QPalette::ButtonText));
        painter.setFont(font());
        painter.drawText(label, Qt::AlignLeft | Qt::AlignVCenter, text());
        return;
    }

    painter.setOpacity(trackDisabledOpacity);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QBrush(trackDisabledColor));
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.drawRoundedRect(track, TrackRadius, TrackRadius, Qt::AbsoluteSize);

    // A disabled switch does not move: the thumb sits at the end that matches
    // the checked state, whatever an animation left behind.
    painter.setOpacity(1.0);
    const qreal left =
        isChecked() ? track.x() + sideMargins + TrackInset : track.x() - sideMargins - TrackInset;
    const QPointF centre = thumbCentre(track, left);
    if (!shadowPixmap.isNull())
        painter.drawPixmap(centre - shadowOffset, shadowPixmap);
    painter.setBrush(QBrush(thumbDisabledColor));
    painter.drawEllipse(QRectF(centre - thumbOffset, QSizeF(ThumbDiameter, ThumbDiameter)));

    if (text().isEmpty())
        return;
    painter.setOpacity(disabledTextOpacity);
    painter.setPen(palette().color(QPalette::Disabled, QPalette::ButtonText));
    painter.setFont(font());
    painter.drawText(label, Qt::AlignLeft | Qt::AlignVCenter, text());
}

void Switch::resizeEvent(QResizeEvent *event)
{
    // Blurring is far too slow for every animation step, so the shadow is made
    // here once and painting only copies it.
    const qreal ratio = devicePixelRatioF();
    QPixmap circle(QSize(ShadowSize, ShadowSize) * ratio);
    circle.setDevicePixelRatio(ratio);
    circle.fill(Qt::transparent);
    {
        QPainter painter(&circle);
        painter.setPen(Qt::NoPen);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setBrush(QColor(0, 0, 0, ShadowAlpha));
        const qreal half = ShadowDiameter / 2;
        painter.drawEllipse(QRectF(ShadowSize / 2.0 - half, ShadowSize / 2.0 - half, ShadowDiameter,
                                   ShadowDiameter));
    }

    QImage source(circle.size(), QImage::Format_ARGB32_Premultiplied);
    source.setDevicePixelRatio(ratio);
    source.fill(0);
    {
        QPainter painter(&source);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawPixmap(0, 0, circle);
    }

    QImage blurred(circle.size(), QImage::Format_ARGB32_Premultiplied);
    blurred.setDevicePixelRatio(ratio);
    blurred.fill(0);
    {
        QPainter painter(&blurred);
        // The blur halves the image and scales the painter for large radii.
        painter.save();
        qt_blurImage(&painter, source, ShadowBlurRadius * ratio, true, false);
        painter.restore();
    }

    shadowPixmap = QPixmap::fromImage(blurred);
    SelectionControl::resizeEvent(event);
}

void Switch::applyCheckState(Qt::CheckState state)
{
    const QColor thumbOn = withOpacity(thumbOnColor, thumbOnOpacity);
    const QColor trackOn = withOpacity(trackOnColor, trackOnOpacity);
    const QColor thumbOff = withOpacity(thumbOffColor, thumbOffOpacity);
    const QColor trackOff = withOpacity(trackOffColor, trackOffOpacity);

    if (state == Qt::Checked) {
        if (!isVisible()) {
            thumbPositionAnimator->setCurrentValue(checkedPosition());
            thumbColorAnimator->setCurrentValue(thumbOn);
            trackColorAnimator->setCurrentValue(trackOn);
            return;
        }
        // Always slide the full way from the unchecked end, even when an
        // unchecking slide was interrupted halfway.
        thumbPositionAnimator->interpolate(0, checkedPosition());
        thumbColorAnimator->interpolate(thumbOff, thumbOn);
        trackColorAnimator->interpolate(trackOff, trackOn);
        return;
    }

    if (!isVisible()) {
        thumbPositionAnimator->setCurrentValue(0);
        thumbColorAnimator->setCurrentValue(thumbOff);
        trackColorAnimator->setCurrentValue(trackOff);
        return;
    }
    thumbPositionAnimator->interpolate(thumbPositionAnimator->currentValue().toInt(), 0);
    thumbColorAnimator->interpolate(thumbOn, thumbOff);
    trackColorAnimator->interpolate(trackOn, trackOff);
}
