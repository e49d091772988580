#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "about.h"
#include "briscadevice.h"
#include "briscaregisters.h"
#include "configurationactions.h"
#include "connectfailure.h"
#include "connectionpage.h"
#include "dataage.h"
#include "keepgoingoption.h"
#include "linkmonitor.h"
#include "linkstateindicator.h"
#include "linkstatisticswidget.h"
#include "recordingcontroller.h"
#include "recordingstatuswidget.h"
#include "windowkeys.h"

#include <QDesktopServices>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSerialPort>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QUrl>

namespace {
// How long a request may stay unanswered before the master gives up on it.
constexpr int ReplyTimeoutMs = 3000;

const char ProductPageAddress[] = "https://www.example.com/products/brisca";
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , device(nullptr)
    , aboutDialog(nullptr)
    , cycleModeActive(false)
{
    // setupUi connects the on_<object>_<signal> handlers as its very last step, so none of
    // them runs while the form is being built. Nothing is sent until Connect.
    ui->setupUi(this);

    auto *configuration = new ConfigurationActions(this, ui->menuTools, ui->actionReset_device);
    connect(this, &MainWindow::deviceChanged, configuration, &ConfigurationActions::setDevice);
    auto *link = new LinkMonitor(this);
    connect(this, &MainWindow::deviceChanged, link, &LinkMonitor::setDevice);
    ui->statusbar->addPermanentWidget(new LinkStateIndicator(link, ui->statusbar));
    // The port list, Find sensors and the remembered connection; the traffic of the link.
    new ConnectionPage(this, ui);
    new LinkStatisticsWidget(this, ui);
    m_dataAge = new DataAge(*ui, link, this);
    connect(this, &MainWindow::deviceChanged, m_dataAge, &DataAge::setDevice);
    new WindowKeys(this);
    setUpRecording();
}

// Export, recording, replay and trends, and continuous mode's keep-going option: classes of
// their own that follow the device the window holds.
void MainWindow::setUpRecording()
{
    auto *recording =
        new RecordingController(this, ui->tempPlot_app1, ui->tempPlot_app2, ui->tempPlot_app3);
    auto *file = new QMenu(tr("&File"), this);
    file->setObjectName(QStringLiteral("menuFile"));
    file->addActions(recording->fileMenuActions());
    ui->menubar->insertMenu(ui->menubar->actions().value(0), file);
    ui->menuTools->addAction(recording->trendsAction());
    ui->statusbar->addPermanentWidget(recording->statusWidget());
    connect(recording, &RecordingController::statusMessage, this, &MainWindow::status_received);
    connect(this, &MainWindow::deviceChanged, recording, &RecordingController::setDevice);

    auto *keepGoing = new KeepGoingOption(
        {ui->pushButton_cycleMode, ui->pushButton_cycleMode1, ui->pushButton_cycleMode3},
        [this] { return cycleModeActive; }, this);
    connect(this, &MainWindow::deviceChanged, keepGoing, &KeepGoingOption::setDevice);
    connect(keepGoing, &KeepGoingOption::frameMissed, recording,
            &RecordingController::countMissedFrame);
}

MainWindow::~MainWindow()
{
    releaseDevice();
    delete ui;
    // An open About dialog is our Qt child and goes with the window; the guard only
    // forgets it.
    aboutDialog.clear();
}

float MainWindow::kelvinTenthsToCelsius(quint16 raw)
{
    return Brisca::kelvinTenthsToCelsius(raw);
}

quint16 MainWindow::celsiusToKelvinTenths(double celsius)
{
    return Brisca::celsiusToKelvinTenths(celsius);
}

// --- Navigation -----------------------------------------------------------------------

// The five buttons are not a button group: a group would refuse to uncheck the checked
// button, and the window lets the operator do that (the page simply stays).
void MainWindow::showPage(int index)
{
    QPushButton *const buttons[] = {ui->pushButton_Connection, ui->pushButton_Settings,
                                    ui->pushButton_Application1, ui->pushButton_Application2,
                                    ui->pushButton_Application3};
    for (int i = 0; i < int(std::size(buttons)); ++i) {
        if (i != index)
            buttons[i]->setChecked(false);
    }
    ui->stackedWidget->setCurrentIndex(index);
}

void MainWindow::on_pushButton_Connection_toggled(bool checked)
{
    if (checked)
        showPage(0);
}

void MainWindow::on_pushButton_Settings_toggled(bool checked)
{
    if (checked)
        showPage(1);
}

void MainWindow::on_pushButton_Application1_toggled(bool checked)
{
    if (checked)
        showPage(2);
}

void MainWindow::on_pushButton_Application2_toggled(bool checked)
{
    if (checked)
        showPage(3);
}

void MainWindow::on_pushButton_Application3_toggled(bool checked)
{
    if (checked)
        showPage(4);
}

// --- Status bar -----------------------------------------------------------------------

void MainWindow::status_received(QString s)
{
    ui->statusbar->showMessage(s, StatusTimeoutMs);
}

// --- Connection page ------------------------------------------------------------------

void MainWindow::on_pushButton_connect_clicked()
{
    if (!device)
        initialize();
    if (!device)
        return;

    const int parityIndex = ui->comboBox_parity->currentIndex();
    ui->statusbar->clearMessage();
    if (device->state() == QModbusDevice::ConnectedState)
        return;
    const QString port = ui->lineEdit_portname->text();
    // An empty name would open the folder /dev/ and fail with "Is a directory".
    if (port.trimmed().isEmpty()) {
        ui->statusbar->showMessage(ConnectFailure::noPortText(), StatusTimeoutMs);
        return;
    }

    // The serial port's parity codes skip 1 (there is no "parity 1"), hence the shift.
    const int parity = parityIndex > 0 ? parityIndex + 1 : QSerialPort::NoParity;
    const int stopBits = parityIndex == 0 ? QSerialPort::TwoStop : QSerialPort::OneStop;
    device->setConnectionParameter(QModbusDevice::SerialPortNameParameter, port);
    device->setConnectionParameter(QModbusDevice::SerialParityParameter, parity);
    device->setConnectionParameter(QModbusDevice::SerialBaudRateParameter,
                                   ui->comboBox_baudrate->currentText().toInt(nullptr, 10));
    device->setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
    device->setConnectionParameter(QModbusDevice::SerialStopBitsParameter, stopBits);
    device->setTimeout(ReplyTimeoutMs);
    device->setNumberOfRetries(0);

    if (!device->connectDevice()) {
        // The device keeps only the text; the port it opened with knows what went wrong.
        const QSerialPort *const serial = device->findChild<QSerialPort *>();
        ui->statusbar->showMessage(
            ConnectFailure::text(port, serial ? serial->error() : QSerialPort::UnknownError,
                                 device->errorString()),
            StatusTimeoutMs);
        return;
    }
    ui->pushButton_connect->setEnabled(false);
    ui->pushButton_Disconnect->setEnabled(true);
    ui->pushButton_SelectSlave->setEnabled(true);
}

void MainWindow::initialize()
{
    releaseDevice();

    device = new BriscaDevice(this);
    BriscaDevice *const created = device;
    // The device is the context, so the connection dies with it; the pointer is captured
    // because the error can still arrive while the window is already letting go of it. A
    // device the window has given up after a lost link may still report its closing port
    // until it is deleted; that must not cover the message that says the link is lost.
    connect(
        created, &QModbusDevice::errorOccurred, created,
        [this, created](QModbusDevice::Error) {
            if (device != created)
                return;
            ui->statusbar->showMessage(created->errorString(), StatusTimeoutMs);
        },
        Qt::DirectConnection);
    connect(device, SIGNAL(signal_status(QString)), this, SLOT(status_received(QString)));
    connect(device, &BriscaDevice::coilsDataReady, this, &MainWindow::updateUiWithCoilsData);
    connect(device, &BriscaDevice::holdingRegsDataReady, this,
            &MainWindow::updateUiWithHoldingRegsData);
    connect(device, &BriscaDevice::pixelDataReady, this, &MainWindow::updateImageWithPixelData);
    connect(device, &BriscaDevice::inputRegsDataReady, this,
            &MainWindow::updateUiWithInputRegsData);
    connect(device, &BriscaDevice::discreteInputsDataReady, this,
            &MainWindow::updateUiWithDiscreteInputsData);
    connect(device, &BriscaDevice::connectionValidated, this, &MainWindow::connectionValidated);
    connect(device, &QModbusDevice::stateChanged, this, &MainWindow::deviceStateChanged);
    connect(device, &BriscaDevice::writeFailed, this, &MainWindow::writeFailed);
    emit deviceChanged(device);

    if (!device) {
        ui->pushButton_connect->setEnabled(false);
        ui->statusbar->showMessage(tr("Could not create Modbus master."), StatusTimeoutMs);
    }
}

void MainWindow::releaseDevice()
{
    if (!device)
        return;
    // Closing on purpose is not a lost link.
    disconnect(device, &QModbusDevice::stateChanged, this, &MainWindow::deviceStateChanged);
    device->disconnectDevice();
    delete device;
    device = nullptr;
    emit deviceChanged(nullptr);
}

void MainWindow::on_pushButton_Disconnect_clicked()
{
    if (!device || device->state() == QModbusDevice::UnconnectedState)
        return;
    releaseDevice();
    ui->pushButton_connect->setEnabled(true);
    ui->pushButton_Disconnect->setEnabled(false);
    ui->pushButton_SelectSlave->setEnabled(false);
    setDeviceControlsEnabled(false);
}

// The device closes the port by itself when the line goes away (adapter pulled, line hung
// up). Without this the window would keep showing an open port whose Connect is disabled,
// and the operator would have to restart the program to connect again.
void MainWindow::deviceStateChanged(QModbusDevice::State state)
{
    if (state != QModbusDevice::UnconnectedState || !device || sender() != device)
        return;
    // A Connect that fails also ends unconnected; only a port the window shows as open
    // can be lost.
    if (ui->pushButton_connect->isEnabled())
        return;

    // We are inside the device's own signal: it can only be deleted once control has
    // left it. The handlers of every page see no device from now on, as after Disconnect.
    BriscaDevice *const lost = device;
    device = nullptr;
    lost->disconnect(this);
    lost->deleteLater();
    emit deviceChanged(nullptr);

    if (cycleModeActive) {
        const QSignalBlocker b0(ui->pushButton_cycleMode);
        const QSignalBlocker b1(ui->pushButton_cycleMode1);
        const QSignalBlocker b3(ui->pushButton_cycleMode3);
        ui->pushButton_cycleMode->setChecked(false);
        ui->pushButton_cycleMode1->setChecked(false);
        ui->pushButton_cycleMode3->setChecked(false);
        setCycleMode(false);
    }

    ui->pushButton_connect->setEnabled(true);
    ui->pushButton_Disconnect->setEnabled(false);
    ui->pushButton_SelectSlave->setEnabled(false);
    setDeviceControlsEnabled(false);
    ui->statusbar->showMessage(tr("Connection lost: the port was closed. Check the adapter and "
                                  "press Connect to open it again."),
                               StatusTimeoutMs);
}

void MainWindow::on_pushButton_SelectSlave_clicked()
{
    if (device)
        device->selectSlave(quint8(ui->spinBox_slaveSelect->value()));
}

void MainWindow::connectionValidated()
{
    if (!device)
        return;
    device->readSettings(quint8(ui->spinBox_slaveSelect->value()));
    setDeviceControlsEnabled(true);
}

void MainWindow::setDeviceControlsEnabled(bool on)
{
    ui->label_2->setEnabled(on);
    ui->label_7->setEnabled(on);
    ui->label_8->setEnabled(on);

    ui->pushButton_Settings->setEnabled(on);
    ui->pushButton_Application1->setEnabled(on);
    ui->pushButton_Application2->setEnabled(on);
    ui->pushButton_Application3->setEnabled(on);

    ui->radioButton_App1Enable->setEnabled(on);
    ui->radioButton_App2Enable->setEnabled(on);
    ui->radioButton_App3Enable->setEnabled(on);

    // Unchecked in both directions: after a validation the coil data set them again.
    ui->radioButton_App1Enable->setChecked(false);
    ui->radioButton_App2Enable->setChecked(false);
    ui->radioButton_App3Enable->setChecked(false);

    ui->frame_updateSelectedSlaveConnectionParams->setEnabled(on);
    ui->actionReset_device->setEnabled(on);
}

bool MainWindow::confirmDestructiveCommand(const QString &text)
{
    // No parent on purpose: the box stands on its own, centred on the screen.
    QMessageBox box;
    box.setText(text);
    box.setInformativeText(tr("Are you sure you want to proceed?"));
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    // Enter must not wipe a sensor: proceeding takes a deliberate OK.
    box.setDefaultButton(QMessageBox::Cancel);
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(tr("Warning"));
    return box.exec() == QMessageBox::Ok;
}

void MainWindow::on_pushButton_updateSlaveConnectionParams_clicked()
{
    const bool confirmed = confirmDestructiveCommand(
        tr("Please be advised that this operation will update this particular device settings. To "
           "continue communicating with this device, the connection settings will need to be "
           "updated. If the baudrate or parity are changed, the connection needs to be closed and "
           "opened again with the new settings.\nNote: a power off-on cycle of the device is "
           "highly recommeded after this action."));
    // The box runs its own event loop: the link may have gone while it was open.
    if (!confirmed || !device)
        return;

    device->writeSlaveAddress(quint8(ui->spinBox_slaveAddrUpdate->value()));
    device->writeSerialSettings(ui->comboBox_baudrateUpdate->currentText().toUInt(nullptr, 10),
                                quint8(ui->comboBox_parityUpdate->currentIndex()));
    ui->statusbar->showMessage(tr("Command sent"), StatusTimeoutMs);
}

void MainWindow::on_actionReset_device_triggered()
{
    const bool confirmed = confirmDestructiveCommand(
        tr("Please be advised that this operation cannot be cancelled and will erase all "
           "previously stored settings.\nImportant: the GUI will only update the new settings "
           "after \"Select slave\" is pressed again.\nNote: a power off-on cycle of the "
           "device is highly recommeded after this action."));
    if (!confirmed || !device)
        return;

    device->factoryReset();
    ui->statusbar->showMessage(tr("Command sent"), StatusTimeoutMs);
}

// --- About menu -----------------------------------------------------------------------

void MainWindow::on_actionLicense_triggered()
{
    // One dialog at a time; an open one is left where the operator put it.
    if (aboutDialog)
        return;
    aboutDialog = new About(this);
    aboutDialog->setAttribute(Qt::WA_DeleteOnClose);
    aboutDialog->show();
}

void MainWindow::on_actionProduct_page_triggered()
{
    const QUrl page(QString::fromLatin1(ProductPageAddress), QUrl::TolerantMode);
    if (QDesktopServices::openUrl(page)) {
        // The window steps aside for the browser.
        showMinimized();
        return;
    }
    // Minimised, the window would hide the only sign that nothing opened.
    auto *box = new QMessageBox(
        QMessageBox::Information, tr("Product page"),
        tr("No web browser could be opened. The product page is at:\n%1").arg(page.toString()),
        QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("productPageMessage"));
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
