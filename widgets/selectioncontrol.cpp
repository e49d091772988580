#include "selectioncontrol.h"

SelectionControl::SelectionControl(QWidget *parent)
    : QAbstractButton(parent)
{
    setObjectName(QStringLiteral("SelectionControl"));
    setCheckable(true);
}

SelectionControl::~SelectionControl() = default;

Qt::CheckState SelectionControl::checkState() const
{
    return isChecked() ? Qt::Checked : Qt::Unchecked;
}

void SelectionControl::enterEvent(QEvent *event)
{
    setCursor(Qt::PointingHandCursor);
    QAbstractButton::enterEvent(event);
}

void SelectionControl::checkStateSet()
{
    const Qt::CheckState state = checkState();
    // Only a real change is announced and drawn: the main window sets the
    // switches again on every settings read, and replaying the slide each time
    // would make a checked switch flicker back to the left end.
    if (state == m_appliedState)
        return;
    m_appliedState = state;
    Q_EMIT stateChanged(state);
    applyCheckState(state);
}

void SelectionControl::nextCheckState()
{
    QAbstractButton::nextCheckState();
    checkStateSet();
}
