#include "linkstatisticsdialog.h"

#include "briscadevice.h"
#include "findsensorsdialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QVariant>

namespace {

QString exceptionName(quint8 code)
{
    switch (code) {
    case 0x01:
        return LinkStatisticsDialog::tr("illegal function");
    case 0x02:
        return LinkStatisticsDialog::tr("illegal data address");
    case 0x03:
        return LinkStatisticsDialog::tr("illegal data value");
    case 0x04:
        return LinkStatisticsDialog::tr("server device failure");
    case 0x06:
        return LinkStatisticsDialog::tr("server device busy");
    default:
        return QString();
    }
}

QString timeOrNever(const QDateTime &when)
{
    return when.isValid() ? when.toString(QStringLiteral("HH:mm:ss"))
                          : LinkStatisticsDialog::tr("never");
}

QString msText(double ms)
{
    return ms < 0 ? LinkStatisticsDialog::tr("none yet")
                  : LinkStatisticsDialog::tr("%1 ms").arg(ms, 0, 'f', 1);
}

} // namespace

LinkStatisticsDialog::LinkStatisticsDialog(QWidget *parent)
    : QDialog(parent)
    , m_link(new QLabel(this))
    , m_reset(new QPushButton(tr("&Reset"), this))
    , m_form(new QFormLayout)
{
    setWindowTitle(tr("Link statistics"));
    m_link->setObjectName(QStringLiteral("link"));
    m_link->setWordWrap(true);
    m_requests = addRow(tr("Requests sent"), "requests");
    m_answers = addRow(tr("Answers"), "answers");
    m_timeouts = addRow(tr("Timeouts (no or damaged answer)"), "timeouts");
    m_refusals = addRow(tr("Refusals (exception answers)"), "refusals");
    m_otherErrors = addRow(tr("Other errors"), "otherErrors");
    m_strayAnswers = addRow(tr("Stray answers refused"), "strayAnswers");
    m_roundTrip = addRow(tr("Round trip, last / mean"), "roundTrip");
    m_lastAnswer = addRow(tr("Last answer"), "lastAnswer");
    m_lastFailure = addRow(tr("Last failure"), "lastFailure");

    m_reset->setObjectName(QStringLiteral("reset"));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(m_reset, QDialogButtonBox::ResetRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &LinkStatisticsDialog::reject);
    connect(m_reset, &QPushButton::clicked, this, [this] {
        if (m_device)
            m_device->resetStatistics();
    });

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_link);
    layout->addLayout(m_form);
    layout->addWidget(buttons);
    refresh();
}

QLabel *LinkStatisticsDialog::addRow(const QString &title, const char *name)
{
    auto *value = new QLabel(this);
    value->setObjectName(QLatin1String(name));
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_form->addRow(title, value);
    return value;
}

void LinkStatisticsDialog::setDevice(BriscaDevice *device)
{
    if (m_device)
        m_device->disconnect(this);
    m_device = device;
    if (device)
        connect(device, &BriscaDevice::statisticsChanged, this, &LinkStatisticsDialog::refresh);
    refresh();
}

void LinkStatisticsDialog::refresh()
{
    m_reset->setEnabled(m_device);
    const QList<QLabel *> values = {m_requests,  m_answers,     m_timeouts,
                                    m_refusals,  m_otherErrors, m_strayAnswers,
                                    m_roundTrip, m_lastAnswer,  m_lastFailure};
    if (!m_device) {
        m_link->setText(tr("No sensor link: the counts start when Connect opens a port."));
        for (QLabel *value : values)
            value->clear();
        return;
    }
    const BriscaDevice &device = *m_device;
    m_link->setText(
        tr("%1 at %2 baud, %3 parity")
            .arg(device.connectionParameter(QModbusDevice::SerialPortNameParameter).toString())
            .arg(device.connectionParameter(QModbusDevice::SerialBaudRateParameter).toInt())
            .arg(FindSensorsDialog::parityName(
                     QSerialPort::Parity(
                         device.connectionParameter(QModbusDevice::SerialParityParameter).toInt()))
                     .toLower()));

    const LinkStatistics &s = device.statistics();
    m_requests->setText(QString::number(s.requests));
    m_answers->setText(QString::number(s.answers));
    m_timeouts->setText(QString::number(s.timeouts));
    QStringList codes;
    for (auto it = s.exceptions.cbegin(); it != s.exceptions.cend(); ++it) {
        const QString name = exceptionName(it.key());
        codes << QStringLiteral("0x%1%2: %3")
                     .arg(int(it.key()), 2, 16, QLatin1Char('0'))
                     .arg(name.isEmpty() ? QString() : QStringLiteral(" ") + name)
                     .arg(it.value());
    }
    m_refusals->setText(codes.isEmpty()
                            ? QStringLiteral("0")
                            : QString::number(s.exceptionCount()) + QStringLiteral(" (") +
                                  codes.join(QStringLiteral(", ")) + QLatin1Char(')'));
    m_otherErrors->setText(QString::number(s.otherErrors));
    m_strayAnswers->setText(QString::number(s.strayAnswers));
    m_roundTrip->setText(msText(s.lastRoundTripMs) + QStringLiteral(" / ") +
                         msText(s.meanRoundTripMs));
    m_lastAnswer->setText(timeOrNever(s.lastAnswer));
    m_lastFailure->setText(timeOrNever(s.lastFailure));
}
