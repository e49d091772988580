#pragma once

#include <QRect>
#include <QSize>

class QWidget;

// The main window is laid out for a large screen; on a field laptop (1366 x 768) it must
// open no larger than the screen leaves room for, or its status bar ends up off screen.
namespace WindowFit {

// The room the window manager's frame takes around a window. It is known only once the
// window is shown, so a usual border and title bar are assumed.
constexpr QSize FrameAllowance(16, 40);

// `wanted` shrunk to fit `available` with its frame, but not below `minimum`.
QSize fittedSize(QSize wanted, QSize minimum, const QRect &available);

// Shrinks `window`, not yet shown, to fit the screen it will open on.
void fitToScreen(QWidget *window);

} // namespace WindowFit
