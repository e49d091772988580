#pragma once

#include "sample.h"

#include <QPoint>

class image;

// How a frame appears on the three application pages, for the windows that draw frames the
// way the main window does: Application 1 with its limited field of view, Application 2 with
// its centred area, Application 3 with its region grid and the region temperatures as labels.
namespace FramePages {

enum Page
{
    Application1 = 0,
    Application2 = 1,
    Application3 = 2,
    PageCount = 3
};

// The cell (x, y) a position register of Application 1 names.
QPoint positionCell(quint16 position);

// Whether the Application 1 measurements of `m` were ever read: a raw temperature of 0
// (-273 degrees) is what a cache holds before the first answer.
bool extremesKnown(const Recording::Measurements &m);

// Makes the extremes of `m` unknown, so that no marks are drawn for them.
void forgetExtremes(Recording::Measurements &m);

// Adds the overlays of `page` for the settings and region temperatures of `sample`. They
// last for one rendering, like every overlay of the view.
void drawOverlays(image &plot, int page, const Recording::Sample &sample);

// Hands the frame of `sample` to `plot` and draws it with the overlays of `page`.
void showFrame(image &plot, int page, const Recording::Sample &sample);

} // namespace FramePages
