#include "findsensorsdialog.h"

#include "briscaregisters.h"
#include "portchooser.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const QSerialPort::Parity Parities[] = {QSerialPort::NoParity, QSerialPort::EvenParity,
                                        QSerialPort::OddParity};
constexpr int BaudColumns = 5;

enum Column
{
    PortColumn,
    BaudColumn,
    ParityColumn,
    AddressColumn,
    KindColumn,
    ColumnCount
};

} // namespace

FindSensorsDialog::FindSensorsDialog(QWidget *parent)
    : QDialog(parent)
    , m_scanner(new BriscaScanner(this))
    , m_port(new QLineEdit(this))
    , m_from(new QSpinBox(this))
    , m_to(new QSpinBox(this))
    , m_wait(new QSpinBox(this))
    , m_waitText(new QLabel(this))
    , m_progress(new QProgressBar(this))
    , m_timeLeft(new QLabel(this))
    , m_table(new QTableWidget(0, ColumnCount, this))
    , m_start(new QPushButton(tr("&Scan"), this))
    , m_cancel(new QPushButton(tr("&Cancel scan"), this))
    , m_use(new QPushButton(tr("&Use"), this))
{
    setWindowTitle(tr("Find sensors"));
    new PortChooser(m_port);
    // Names for the tests and the tour, which work the dialog as an operator would.
    m_port->setObjectName(QStringLiteral("port"));
    m_from->setObjectName(QStringLiteral("from"));
    m_to->setObjectName(QStringLiteral("to"));
    m_wait->setObjectName(QStringLiteral("wait"));
    m_timeLeft->setObjectName(QStringLiteral("timeLeft"));
    m_table->setObjectName(QStringLiteral("results"));
    m_start->setObjectName(QStringLiteral("scan"));
    m_cancel->setObjectName(QStringLiteral("cancelScan"));
    m_use->setObjectName(QStringLiteral("use"));

    auto *bauds = new QGridLayout;
    for (quint8 index = 0; Brisca::baudRateOfIndex(index) != 0; ++index) {
        auto *box = new QCheckBox(QString::number(Brisca::baudRateOfIndex(index)), this);
        box->setChecked(true);
        bauds->addWidget(box, index / BaudColumns, index % BaudColumns);
        m_bauds.append(box);
        connect(box, &QCheckBox::toggled, this, &FindSensorsDialog::updateEstimate);
    }
    auto *parities = new QHBoxLayout;
    for (QSerialPort::Parity parity : Parities) {
        auto *box = new QCheckBox(parityName(parity), this);
        box->setChecked(true);
        parities->addWidget(box);
        m_parities.append(box);
        connect(box, &QCheckBox::toggled, this, &FindSensorsDialog::updateEstimate);
    }
    parities->addStretch();

    auto *range = new QHBoxLayout;
    for (QSpinBox *box : {m_from, m_to}) {
        box->setRange(1, 247);
        connect(box, QOverload<int>::of(&QSpinBox::valueChanged), this,
                &FindSensorsDialog::updateEstimate);
    }
    m_to->setValue(247);
    range->addWidget(m_from);
    range->addWidget(new QLabel(tr("to"), this));
    range->addWidget(m_to);
    range->addStretch();

    // 0 keeps the wait that follows from each baud rate; a slow converter needs more.
    m_wait->setRange(0, 5000);
    m_wait->setSuffix(tr(" ms"));
    m_wait->setSpecialValueText(tr("from the baud rate"));
    connect(m_wait, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &FindSensorsDialog::updateEstimate);
    m_waitText->setWordWrap(true);

    auto *form = new QFormLayout;
    form->addRow(tr("&Port"), m_port);
    form->addRow(tr("Baud rates"), bauds);
    form->addRow(tr("Parities"), parities);
    auto *rangeLabel = new QLabel(tr("&Addresses"), this);
    rangeLabel->setBuddy(m_from);
    form->addRow(rangeLabel, range);
    form->addRow(tr("&Wait per probe"), m_wait);
    form->addRow(QString(), m_waitText);

    m_progress->setFormat(tr("%v of %m"));
    m_progress->setValue(0);
    auto *progress = new QHBoxLayout;
    progress->addWidget(m_progress, 1);
    progress->addWidget(m_timeLeft);

    m_table->setHorizontalHeaderLabels(
        {tr("Port"), tr("Baud"), tr("Parity"), tr("Address"), tr("Kind")});
    // Whole port names and kinds: both are what the operator reads the table for.
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->verticalHeader()->hide();
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(m_start, QDialogButtonBox::ActionRole);
    buttons->addButton(m_cancel, QDialogButtonBox::ActionRole);
    buttons->addButton(m_use, QDialogButtonBox::ActionRole);
    m_start->setDefault(true);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(progress);
    layout->addWidget(m_table, 1);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::rejected, this, &FindSensorsDialog::reject);
    connect(m_start, &QPushButton::clicked, this, &FindSensorsDialog::startScan);
    connect(m_cancel, &QPushButton::clicked, m_scanner, &BriscaScanner::cancel);
    connect(m_use, &QPushButton::clicked, this, &FindSensorsDialog::useSelected);
    connect(m_table, &QTableWidget::itemSelectionChanged, this,
            [this] { m_use->setEnabled(!m_scanner->isRunning() && m_table->currentRow() >= 0); });
    connect(m_table, &QTableWidget::cellDoubleClicked, this, &FindSensorsDialog::useSelected);
    connect(m_scanner, &BriscaScanner::progress, this, &FindSensorsDialog::showProgress);
    connect(m_scanner, &BriscaScanner::found, this, &FindSensorsDialog::addResult);
    connect(m_scanner, &BriscaScanner::finished, this, &FindSensorsDialog::scanFinished);

    setScanning(false);
    updateEstimate();
    resize(720, 600);
}

QString FindSensorsDialog::parityName(QSerialPort::Parity parity)
{
    switch (parity) {
    case QSerialPort::NoParity:
        return tr("None");
    case QSerialPort::EvenParity:
        return tr("Even");
    case QSerialPort::OddParity:
        return tr("Odd");
    default:
        return QString::number(int(parity));
    }
}

QString FindSensorsDialog::durationText(qint64 ms)
{
    const qint64 seconds = (ms + 999) / 1000;
    if (seconds < 60)
        return tr("%1 s").arg(seconds);
    return tr("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
}

void FindSensorsDialog::setPort(const QString &port)
{
    m_port->setText(port);
}

void FindSensorsDialog::setCurrentLine(const LineSetting &line)
{
    m_current = line;
    updateEstimate();
}

void FindSensorsDialog::setPortInUse(const QString &port)
{
    m_portInUse = port;
}

ScanSettings FindSensorsDialog::settings() const
{
    ScanSettings settings;
    settings.portName = m_port->text().trimmed();
    for (QCheckBox *box : m_bauds) {
        if (box->isChecked())
            settings.baudRates.append(box->text().toInt());
    }
    for (int i = 0; i < m_parities.size(); ++i) {
        if (m_parities.at(i)->isChecked())
            settings.parities.append(Parities[i]);
    }
    settings.current = m_current;
    settings.firstAddress = m_from->value();
    settings.lastAddress = m_to->value();
    settings.probeTimeoutMs = m_wait->value();
    return settings;
}

void FindSensorsDialog::updateEstimate()
{
    const ScanSettings s = settings();
    int fastest = 0;
    int slowest = 0;
    for (QCheckBox *box : m_bauds) {
        if (!box->isChecked())
            continue;
        const qint32 baud = box->text().toInt();
        if (fastest == 0 || baud > fastest)
            fastest = baud;
        if (slowest == 0 || baud < slowest)
            slowest = baud;
    }
    QString text;
    if (s.probeTimeoutMs > 0)
        text = tr("Each probe waits %1 ms.").arg(s.probeTimeoutMs);
    else if (fastest == slowest)
        text = tr("Each probe waits %1 ms at %2 baud.")
                   .arg(BriscaScanner::probeTimeoutMs(fastest))
                   .arg(fastest);
    else
        text = tr("Each probe waits %1 ms at %2 baud up to %3 ms at %4 baud.")
                   .arg(BriscaScanner::probeTimeoutMs(fastest))
                   .arg(fastest)
                   .arg(BriscaScanner::probeTimeoutMs(slowest))
                   .arg(slowest);
    const int combinations = int(BriscaScanner::orderedLines(s).size());
    const int addresses = std::max(0, s.lastAddress - s.firstAddress + 1);
    text += QLatin1Char(' ') + tr("%1 probes, at most %2 when nothing answers.")
                                   .arg(combinations * addresses)
                                   .arg(durationText(BriscaScanner::estimatedMs(s)));
    m_waitText->setText(text);
}

void FindSensorsDialog::startScan()
{
    const ScanSettings s = settings();
    if (!m_portInUse.isEmpty() && m_portInUse == s.portName) {
        const auto answer = QMessageBox::question(
            this, tr("Find sensors"),
            tr("The port %1 is open in the main window. A scan needs it closed.\n"
               "Disconnect and scan?")
                .arg(s.portName),
            QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
        if (answer != QMessageBox::Yes)
            return;
        emit disconnectRequested();
        if (m_portInUse == s.portName)
            return;
    }
    m_table->setRowCount(0);
    m_progress->setRange(0, 1);
    m_progress->setValue(0);
    setScanning(true);
    m_scanner->start(s);
    if (m_scanner->isRunning())
        showProgress();
}

void FindSensorsDialog::showProgress()
{
    m_progress->setRange(0, std::max(1, m_scanner->total()));
    m_progress->setValue(m_scanner->done());
    m_timeLeft->setText(tr("%1 left").arg(durationText(m_scanner->msLeft())));
}

void FindSensorsDialog::addResult(const ScanResult &result)
{
    const int row = m_table->rowCount();
    m_table->insertRow(row);
    const QString kind = result.kind == ScanResult::BriscaSensor
                             ? tr("Brisca sensor")
                             : tr("another Modbus device (%1)").arg(result.answer);
    const QString cells[ColumnCount] = {result.portName, QString::number(result.line.baudRate),
                                        parityName(result.line.parity),
                                        QString::number(result.address), kind};
    for (int column = 0; column < ColumnCount; ++column)
        m_table->setItem(row, column, new QTableWidgetItem(cells[column]));
    if (m_table->currentRow() < 0 && result.kind == ScanResult::BriscaSensor)
        m_table->selectRow(row);
}

void FindSensorsDialog::scanFinished(bool cancelled, const QString &error)
{
    setScanning(false);
    if (!error.isEmpty())
        m_timeLeft->setText(error);
    else if (cancelled)
        m_timeLeft->setText(tr("Cancelled"));
    else
        m_timeLeft->setText(tr("Done: %1 found").arg(m_table->rowCount()));
}

void FindSensorsDialog::useSelected()
{
    const int row = m_table->currentRow();
    if (m_scanner->isRunning() || row < 0 || row >= m_scanner->results().size())
        return;
    const ScanResult result = m_scanner->results().at(row);
    accept();
    emit useRequested(result);
}

void FindSensorsDialog::setScanning(bool on)
{
    m_start->setEnabled(!on);
    m_cancel->setEnabled(on);
    m_use->setEnabled(!on && m_table->currentRow() >= 0);
    for (QWidget *w : std::initializer_list<QWidget *>{m_port, m_from, m_to, m_wait})
        w->setEnabled(!on);
    for (QCheckBox *box : m_bauds + m_parities)
        box->setEnabled(!on);
}

void FindSensorsDialog::reject()
{
    // Closing the dialog must not leave a scan holding the port.
    m_scanner->cancel();
    QDialog::reject();
}
