#pragma once

#include <QDialog>
#include <QPointer>

class BriscaDevice;
class QFormLayout;
class QLabel;
class QPushButton;

// Tools → "Link statistics": every counter the link keeps, live, and a reset. The counts
// live in the device; this only shows them, and shows none while the window holds no link.
class LinkStatisticsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit LinkStatisticsDialog(QWidget *parent = nullptr);

    void setDevice(BriscaDevice *device);

private:
    void refresh();
    QLabel *addRow(const QString &title, const char *name);

    QPointer<BriscaDevice> m_device;
    QLabel *m_link;
    QLabel *m_requests;
    QLabel *m_answers;
    QLabel *m_timeouts;
    QLabel *m_refusals;
    QLabel *m_otherErrors;
    QLabel *m_strayAnswers;
    QLabel *m_roundTrip;
    QLabel *m_lastAnswer;
    QLabel *m_lastFailure;
    QPushButton *m_reset;
    QFormLayout *m_form;
};
