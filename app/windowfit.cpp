#include "windowfit.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace WindowFit {

QSize fittedSize(QSize wanted, QSize minimum, const QRect &available)
{
    return wanted.boundedTo(available.size() - FrameAllowance).expandedTo(minimum);
}

void fitToScreen(QWidget *window)
{
    const QScreen *screen = window->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    window->resize(
        fittedSize(window->size(), window->minimumSizeHint(), screen->availableGeometry()));
}

} // namespace WindowFit
