#pragma once

#include <QAbstractButton>

// A checkable button that hands every change of its checked state, whether made
// by the program or by a click, to the concrete control's applyCheckState().
class SelectionControl : public QAbstractButton
{
    Q_OBJECT

public:
    explicit SelectionControl(QWidget *parent = nullptr);
    ~SelectionControl() override;

    Qt::CheckState checkState() const;

Q_SIGNALS:
    void stateChanged(int state);

protected:
    void enterEvent(QEvent *event) override;
    void checkStateSet() override;
    void nextCheckState() override;
    virtual void applyCheckState(Qt::CheckState state) = 0;

private:
    // The state last handed on. The toolkit calls checkStateSet() also when
    // setChecked() repeats the current state, and twice for one click.
    Qt::CheckState m_appliedState = Qt::Unchecked;
};
