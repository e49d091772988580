#include "connectionpage.h"
#include "ui_mainwindow.h"

#include "briscadevice.h"
#include "findsensorsdialog.h"
#include "mainwindow.h"
#include "portchooser.h"
#include "rememberedconnection.h"

#include <QBoxLayout>
#include <QEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QSerialPortInfo>

#include <algorithm>

namespace {

// As every other message of the window.
constexpr int WindowMessageMs = 5000;

int parityIndexOf(int serialParity)
{
    switch (serialParity) {
    case QSerialPort::EvenParity:
        return 1;
    case QSerialPort::OddParity:
        return 2;
    default:
        return 0;
    }
}

// Pseudo-terminals are never listed and Windows names are no files: either will do.
bool portExists(const QString &port)
{
    if (QFileInfo::exists(port))
        return true;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    return std::any_of(ports.cbegin(), ports.cend(), [&port](const QSerialPortInfo &info) {
        return info.portName() == port || info.systemLocation() == port;
    });
}

// Puts `button` beside `field` in the layout that holds the field: in a grid, in the column of
// `neighbour` (Connect) when that cell of the field's row is free, else in a new column.
bool placeBeside(QWidget *field, QWidget *button, QWidget *neighbour)
{
    const auto layouts = field->parentWidget()->findChildren<QLayout *>();
    for (QLayout *layout : layouts) {
        const int index = layout->indexOf(field);
        if (index < 0)
            continue;
        if (auto *grid = qobject_cast<QGridLayout *>(layout)) {
            int row, column, rowSpan, columnSpan;
            grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
            int target = grid->columnCount();
            const int at = grid->indexOf(neighbour);
            if (at >= 0) {
                int neighbourRow, neighbourColumn;
                grid->getItemPosition(at, &neighbourRow, &neighbourColumn, &rowSpan, &columnSpan);
                if (!grid->itemAtPosition(row, neighbourColumn))
                    target = neighbourColumn;
            }
            grid->addWidget(button, row, target);
            return true;
        }
        if (auto *box = qobject_cast<QBoxLayout *>(layout)) {
            box->insertWidget(index + 1, button);
            return true;
        }
    }
    return false;
}

} // namespace

ConnectionPage::ConnectionPage(MainWindow *window, Ui::MainWindow *ui)
    : QObject(window)
    , m_window(window)
    , m_ui(ui)
    , m_findButton(new QPushButton(tr("Find sensors…"), ui->lineEdit_portname->parentWidget()))
    , m_findAction(new QAction(tr("F&ind sensors…"), window))
{
    new PortChooser(ui->lineEdit_portname);
    connect(ui->lineEdit_portname, &QLineEdit::returnPressed, this,
            &ConnectionPage::connectOnEnter);

    m_findButton->setObjectName(QStringLiteral("pushButton_findSensors"));
    m_findButton->setToolTip(tr("Scan the bus for sensors whose address, baud rate or parity "
                                "nobody wrote down"));
    // Beside the port field, above Connect; the Tools entry stays in any case.
    if (!placeBeside(ui->lineEdit_portname, m_findButton, ui->pushButton_connect))
        m_findButton->hide();
    QWidget::setTabOrder(ui->lineEdit_portname, m_findButton);
    connect(m_findButton, &QPushButton::clicked, this, &ConnectionPage::openFindSensors);

    m_findAction->setObjectName(QStringLiteral("actionFind_sensors"));
    ui->menuTools->addAction(m_findAction);
    connect(m_findAction, &QAction::triggered, this, &ConnectionPage::openFindSensors);

    connect(window, &MainWindow::deviceChanged, this, &ConnectionPage::followDevice);
    window->installEventFilter(this);
    restore();
}

void ConnectionPage::restore()
{
    const QByteArray geometry = RememberedConnection::windowGeometry();
    if (!geometry.isEmpty())
        m_window->restoreGeometry(geometry);

    const RememberedConnection remembered = RememberedConnection::load();
    if (remembered.baudRate > 0) {
        const int index = m_ui->comboBox_baudrate->findText(QString::number(remembered.baudRate));
        if (index >= 0)
            m_ui->comboBox_baudrate->setCurrentIndex(index);
    }
    if (remembered.parityIndex >= 0 && remembered.parityIndex < m_ui->comboBox_parity->count())
        m_ui->comboBox_parity->setCurrentIndex(remembered.parityIndex);
    if (remembered.slave > 0)
        m_ui->spinBox_slaveSelect->setValue(remembered.slave);
    if (remembered.port.isEmpty())
        return;
    // Shown in any case, so that the operator sees what worked last time; opened only when
    // the operator presses Connect, here or after plugging the converter back in.
    m_ui->lineEdit_portname->setText(remembered.port);
    if (!portExists(remembered.port))
        m_ui->statusbar->showMessage(tr("The port %1 of the last session is not there: plug in "
                                        "the converter, or choose another port.")
                                         .arg(remembered.port),
                                     WindowMessageMs);
}

bool ConnectionPage::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window && event->type() == QEvent::Close)
        RememberedConnection::saveWindowGeometry(m_window->saveGeometry());
    return QObject::eventFilter(watched, event);
}

void ConnectionPage::followDevice(BriscaDevice *device)
{
    if (m_device)
        m_device->disconnect(this);
    m_device = device;
    if (device) {
        connect(device, &QModbusDevice::stateChanged, this, &ConnectionPage::updateLocks);
        connect(device, &BriscaDevice::connectionValidated, this,
                &ConnectionPage::rememberValidated);
    }
    updateLocks();
}

QString ConnectionPage::portInUse() const
{
    if (!m_device || m_device->state() == QModbusDevice::UnconnectedState)
        return QString();
    return m_device->connectionParameter(QModbusDevice::SerialPortNameParameter).toString();
}

void ConnectionPage::updateLocks()
{
    // The port is opened with what the fields held at Connect; changing them while it is
    // open would only show settings the link does not use.
    const bool open = !portInUse().isEmpty();
    m_ui->lineEdit_portname->setEnabled(!open);
    m_ui->comboBox_baudrate->setEnabled(!open);
    m_ui->comboBox_parity->setEnabled(!open);
    if (m_dialog)
        m_dialog->setPortInUse(portInUse());
}

void ConnectionPage::connectOnEnter()
{
    if (m_ui->pushButton_connect->isEnabled())
        m_ui->pushButton_connect->click();
}

void ConnectionPage::rememberValidated()
{
    if (!m_device)
        return;
    RememberedConnection remembered;
    remembered.port =
        m_device->connectionParameter(QModbusDevice::SerialPortNameParameter).toString();
    remembered.baudRate =
        m_device->connectionParameter(QModbusDevice::SerialBaudRateParameter).toInt();
    remembered.parityIndex =
        parityIndexOf(m_device->connectionParameter(QModbusDevice::SerialParityParameter).toInt());
    remembered.slave = m_ui->spinBox_slaveSelect->value();
    remembered.save();
}

void ConnectionPage::openFindSensors()
{
    if (m_dialog) {
        m_dialog->raise();
        m_dialog->activateWindow();
        return;
    }
    m_dialog = new FindSensorsDialog(m_window);
    m_dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_dialog->setPort(m_ui->lineEdit_portname->text());
    const int parityIndex = m_ui->comboBox_parity->currentIndex();
    m_dialog->setCurrentLine(LineSetting{m_ui->comboBox_baudrate->currentText().toInt(),
                                         parityIndex == 0   ? QSerialPort::NoParity
                                         : parityIndex == 1 ? QSerialPort::EvenParity
                                                            : QSerialPort::OddParity});
    m_dialog->setPortInUse(portInUse());
    connect(m_dialog, &FindSensorsDialog::disconnectRequested, this, &ConnectionPage::closePort);
    connect(m_dialog, &FindSensorsDialog::useRequested, this, &ConnectionPage::use);
    // Window-modal: while the scan holds the port, Connect must not reach for it.
    m_dialog->open();
}

void ConnectionPage::closePort()
{
    // The dialog is reached from every page, also while continuous mode runs; an operator
    // would stop the mode before closing the port under it.
    for (QPushButton *cycle :
         {m_ui->pushButton_cycleMode, m_ui->pushButton_cycleMode1, m_ui->pushButton_cycleMode3}) {
        if (cycle->isChecked())
            cycle->click();
    }
    if (m_ui->pushButton_Disconnect->isEnabled())
        m_ui->pushButton_Disconnect->click();
}

void ConnectionPage::use(const ScanResult &result)
{
    // The line settings are locked while a port is open: the operator would disconnect
    // first, too.
    closePort();
    m_ui->lineEdit_portname->setText(result.portName);
    const int baudIndex = m_ui->comboBox_baudrate->findText(QString::number(result.line.baudRate));
    if (baudIndex >= 0)
        m_ui->comboBox_baudrate->setCurrentIndex(baudIndex);
    m_ui->comboBox_parity->setCurrentIndex(parityIndexOf(result.line.parity));
    m_ui->spinBox_slaveSelect->setValue(result.address);
    m_ui->pushButton_Connection->setChecked(true);

    if (!m_ui->pushButton_connect->isEnabled())
        return;
    m_ui->pushButton_connect->click();
    if (m_ui->pushButton_SelectSlave->isEnabled())
        m_ui->pushButton_SelectSlave->click();
}
