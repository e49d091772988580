#pragma once

#include "linkmonitor.h"

#include <QLabel>

// The permanent entry of the status bar that says what the link is doing: no port, port
// open, sensor validated, not answering since a given time, link lost. Status messages come
// and go beside it; this one stays until the state changes.
class LinkStateIndicator : public QLabel
{
    Q_OBJECT
public:
    explicit LinkStateIndicator(LinkMonitor *monitor, QWidget *parent = nullptr);

    // The text shown for the monitor's present state, without the colour mark.
    static QString stateText(const LinkMonitor &monitor);

private:
    void showState();

    LinkMonitor *m_monitor;
};
