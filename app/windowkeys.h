#pragma once

#include "operatorguide.h"

#include <QObject>
#include <QPointer>

class QWidget;

// The keys of the main window that no control of its form carries: Ctrl+Q closes the
// window (and so ends the program), F1 opens the operator's guide, one at a time.
class WindowKeys : public QObject
{
    Q_OBJECT
public:
    explicit WindowKeys(QWidget *window);

    // The guide F1 opened, while it is open.
    OperatorGuide *guide() const { return m_guide; }

private:
    void openGuide();

    QWidget *m_window;
    QPointer<OperatorGuide> m_guide;
};
