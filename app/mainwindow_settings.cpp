// Settings page: the controls that write the sensor's general settings, and the display
// handlers that copy every received value into the widgets of all pages.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "briscadevice.h"
#include "briscaregisters.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QSpinBox>
#include <QStatusBar>

namespace {

// The exact style sheets differ by a blank from page to page; they are kept as the
// pages have always carried them.
const char app1AlarmStyle[] = "QLabel { color : #ff0000; }";
const char app1ClearStyle[] = "QLabel {color : #1e8e3e; }";
const char app2AlarmStyle[] = "QLabel {color : #ff0000; }";
const char app2ClearStyle[] = "QLabel {color : #1e8e3e; }";
const char app3AlarmStyle[] = "QLabel { color : #ff0000; }";
const char app3ClearStyle[] = "QLabel { color : #1e8e3e; }";
const char enabledStyle[] = "QLabel {color : #1e8e3e; }";
const char disabledStyle[] = "QLabel {color : #ff0000; }";

QString temperatureText(float celsius)
{
    return QString::number(celsius, 'f', 1);
}

void showAlarm(QLabel *label, bool alarm, const char *alarmStyle, const char *clearStyle)
{
    label->setText(alarm ? QCoreApplication::translate("MainWindow", "TRUE")
                         : QCoreApplication::translate("MainWindow", "FALSE"));
    label->setStyleSheet(QLatin1String(alarm ? alarmStyle : clearStyle));
}

// Shows the enable state of one application on its switch and on its page.
void showEnabled(QAbstractButton *button, QLabel *pageLabel, bool enabled)
{
    const QString text = enabled ? QCoreApplication::translate("MainWindow", "ENABLED")
                                 : QCoreApplication::translate("MainWindow", "DISABLED");
    button->setText(text);
    pageLabel->setText(text);
    pageLabel->setStyleSheet(QLatin1String(enabled ? enabledStyle : disabledStyle));
}

} // namespace

bool MainWindow::followsSensor(QModbusDataUnit::RegisterType table, int address) const
{
    return device && !device->writePending(table, address);
}

void MainWindow::updateUiWithCoilsData()
{
    if (!device)
        return;
    constexpr auto Coils = QModbusDataUnit::Coils;

    struct Application
    {
        QAbstractButton *button;
        QLabel *label;
        int coil;
        bool enabled;
    };
    const Application applications[] = {
        {ui->radioButton_App1Enable, ui->label_app1PageApplicationOneEnabled,
         Brisca::CoilApp1Enabled, device->app1Enabled},
        {ui->radioButton_App2Enable, ui->label_app2PageApplicationTwoEnabled,
         Brisca::CoilApp2Enabled, device->app2Enabled},
        {ui->radioButton_App3Enable, ui->label_app3PageApplicationThreeEnabled,
         Brisca::CoilApp3Enabled, device->app3Enabled}};
    for (const Application &app : applications) {
        if (!followsSensor(Coils, app.coil))
            continue;
        // Only a real change may reach the switch: the coil itself is written by clicks
        // alone. The texts are set either way: a switch unchecked while no device existed
        // (Disconnect) changed none of them.
        if (app.button->isChecked() != app.enabled)
            app.button->setChecked(app.enabled);
        showEnabled(app.button, app.label, app.enabled);
    }

    // The controls below write on every change of state, so a value read from the
    // sensor that differs from the one shown is written straight back to it.
    if (followsSensor(Coils, Brisca::CoilNoNcEnabled))
        ui->radioButton_NoNcEnabled->setChecked(device->noNcEnabled);
    if (followsSensor(Coils, Brisca::CoilAlarmTimerBased))
        ui->comboBox_alarmTimerBased->setCurrentIndex(device->alarmTimerBased ? 0 : 1);
    if (followsSensor(Coils, Brisca::CoilOutputNormallyClosed))
        ui->comboBox_outputBehavior->setCurrentIndex(device->outputNormallyClosed ? 0 : 1);
    if (followsSensor(Coils, Brisca::CoilTransistorNpn))
        ui->comboBox_trasnistorTypeSelection->setCurrentIndex(device->transistorNpn ? 0 : 1);
    if (followsSensor(Coils, Brisca::CoilApp1LimitFov))
        ui->radioButton_app1LimitFov->setChecked(device->app1LimitFov);
    if (followsSensor(Coils, Brisca::CoilFrameAverage))
        ui->radioButton_frameAverageApps1And3->setChecked(device->frameAverage);
    if (followsSensor(Coils, Brisca::CoilCounterUnidirectional))
        ui->comboBox_counterType->setCurrentIndex(device->counterUnidirectional ? 1 : 0);
}

void MainWindow::updateUiWithHoldingRegsData()
{
    if (!device)
        return;
    ui->statusbar->showMessage(QStringLiteral("Done, connection successful"), StatusTimeoutMs);
    showHoldingRegisters();
}

void MainWindow::showHoldingRegisters()
{
    if (!device)
        return;
    constexpr auto Holding = QModbusDataUnit::HoldingRegisters;

    if (followsSensor(Holding, Brisca::HoldingSlaveAddress))
        ui->spinBox_slaveAddrUpdate->setValue(device->slaveAddress);
    ui->comboBox_baudrateUpdate->setCurrentText(ui->comboBox_baudrate->currentText());
    ui->comboBox_parityUpdate->setCurrentText(ui->comboBox_parity->currentText());
    if (followsSensor(Holding, Brisca::HoldingAlarmDuration))
        ui->spinBox_alarmDuration->setValue(device->alarmDuration);
    if (followsSensor(Holding, Brisca::HoldingMovingAverageWindow))
        ui->spinBox_movingAverageWindow->setValue(device->movingAverageWindow);

    // A choice outside 1..3 gives an index outside the list: the combo box is left
    // without a current item, and its handler then writes nothing.
    if (followsSensor(Holding, Brisca::HoldingTemperatureChoice)) {
        const int choiceIndex = int(device->temperatureChoice) - 1;
        ui->comboBox_temperatureChoice->setCurrentIndex(choiceIndex);
        applyTemperatureChoice(choiceIndex);
    }

    if (followsSensor(Holding, Brisca::HoldingReticleSize)) {
        const QString reticleText = QStringLiteral("%1x%1").arg(device->reticleSize);
        ui->comboBox_reticleSize->setCurrentIndex(ui->comboBox_reticleSize->findText(
            reticleText, Qt::MatchExactly | Qt::MatchCaseSensitive));
    }
    if (followsSensor(Holding, Brisca::HoldingGridRoiSize))
        ui->comboBox_gridROISize->setCurrentIndex(int(device->gridRoiSize) - 1);
    if (followsSensor(Holding, Brisca::HoldingEmissivity))
        ui->spinBox_emissivity->setValue(device->emissivity);

    const struct
    {
        QDoubleSpinBox *editor;
        int address;
        quint16 raw;
    } thresholds[] = {{ui->doubleSpinBox_app1MaxThreshold, Brisca::HoldingApp1MaxThreshold,
                       device->app1MaxThreshold},
                      {ui->doubleSpinBox_app1MinThreshold, Brisca::HoldingApp1MinThreshold,
                       device->app1MinThreshold},
                      {ui->doubleSpinBox_app2MaxThreshold, Brisca::HoldingApp2MaxThreshold,
                       device->app2MaxThreshold},
                      {ui->doubleSpinBox_app2MinThreshold, Brisca::HoldingApp2MinThreshold,
                       device->app2MinThreshold},
                      {ui->doubleSpinBox_app3MaxThreshold, Brisca::HoldingApp3MaxThreshold,
                       device->app3MaxThreshold},
                      {ui->doubleSpinBox_app3MinThreshold, Brisca::HoldingApp3MinThreshold,
                       device->app3MinThreshold}};
    // The editors round the half tenth of a raw value exactly, so that a threshold left as
    // shown is written back as the raw value it came from.
    for (const auto &t : thresholds) {
        if (followsSensor(Holding, t.address))
            t.editor->setValue(Brisca::thresholdCelsius(t.raw));
    }
}

void MainWindow::writeFailed(QModbusDataUnit::RegisterType table)
{
    // The caches still hold what the sensor held before; the controls show it again,
    // without writing it back: nothing new was read. (No status text of its own: the
    // device has just reported the failure.)
    m_showingFailedWrite = true;
    if (table == QModbusDataUnit::Coils)
        updateUiWithCoilsData();
    else if (table == QModbusDataUnit::HoldingRegisters)
        showHoldingRegisters();
    m_showingFailedWrite = false;
}

void MainWindow::updateUiWithInputRegsData()
{
    if (!device)
        return;

    ui->label_app1MeasuredMin->setText(temperatureText(kelvinTenthsToCelsius(device->app1MinTemp)));
    ui->label_app1MeasuredMax->setText(temperatureText(kelvinTenthsToCelsius(device->app1MaxTemp)));
    ui->label_app1MeasuredAvg->setText(temperatureText(kelvinTenthsToCelsius(device->app1AvgTemp)));

    const auto coordinates = [](quint16 position) {
        return QStringLiteral("(%1,%2)")
            .arg(Brisca::positionFirst(position))
            .arg(Brisca::positionSecond(position));
    };
    ui->label_app1MaxCoordinates->setText(coordinates(device->app1MaxPosition));
    ui->label_app1MinCoordinates->setText(coordinates(device->app1MinPosition));

    ui->label_app2MeasuredAvg->setText(temperatureText(kelvinTenthsToCelsius(device->app2AvgTemp)));

    // The sensor reports 0 when no region breaches its threshold.
    ui->label_app3HighestBreachTemp->setText(
        device->app3HighestBreachTemp == 0
            ? tr("N/A")
            : temperatureText(kelvinTenthsToCelsius(device->app3HighestBreachTemp)));
    ui->label_app3PageHighestBreachCoords->setText(QString::number(device->app3HighestBreachArea));
    ui->label_app3CounterValue->setText(QString::number(device->app3Counter));
}

void MainWindow::updateUiWithDiscreteInputsData()
{
    if (!device)
        return;

    showAlarm(ui->label_app1PageApplicationOneStatus, device->app1Alarm, app1AlarmStyle,
              app1ClearStyle);
    showAlarm(ui->label_app2PageApplicationTwoStatus, device->app2Alarm, app2AlarmStyle,
              app2ClearStyle);
    showAlarm(ui->label_app3PageApplicationThreeStatus, device->app3Alarm, app3AlarmStyle,
              app3ClearStyle);
}

void MainWindow::on_comboBox_outputBehavior_currentIndexChanged(int index)
{
    if (writesChange())
        device->writeOutputBehavior(index == 0);
}

void MainWindow::on_comboBox_trasnistorTypeSelection_currentIndexChanged(int index)
{
    if (writesChange())
        device->writeTransistorType(index == 0);
}

void MainWindow::on_comboBox_temperatureChoice_currentIndexChanged(int index)
{
    // No current item means the sensor holds a choice the list does not know; writing
    // index + 1 would replace it with 0.
    if (!device || index < 0)
        return;
    if (writesChange())
        device->writeTemperatureChoice(quint8(index + 1));
    applyTemperatureChoice(index);
}

void MainWindow::on_comboBox_alarmTimerBased_currentIndexChanged(int index)
{
    if (!device)
        return;
    ui->spinBox_alarmDuration->setEnabled(index == 0);
    if (writesChange())
        device->writeAlarmTimerBased(index == 0);
}

// Enter finishes an edit, and so does leaving the box afterwards: the second must not
// write the same value again.
void MainWindow::writeSettingBox(int address, int value)
{
    if (!device)
        return;
    constexpr auto Holding = QModbusDataUnit::HoldingRegisters;
    quint16 held = 0;
    switch (address) {
    case Brisca::HoldingAlarmDuration:
        held = device->alarmDuration;
        break;
    case Brisca::HoldingEmissivity:
        held = device->emissivity;
        break;
    case Brisca::HoldingMovingAverageWindow:
        held = device->movingAverageWindow;
        break;
    default:
        return;
    }
    if (quint16(value) == device->pendingValue(Holding, address, held))
        return;
    switch (address) {
    case Brisca::HoldingAlarmDuration:
        device->writeAlarmDuration(quint16(value));
        break;
    case Brisca::HoldingEmissivity:
        device->writeEmissivity(quint8(value));
        break;
    default:
        device->writeMovingAverageWindow(quint8(value));
        break;
    }
}

void MainWindow::on_spinBox_alarmDuration_editingFinished()
{
    writeSettingBox(Brisca::HoldingAlarmDuration, ui->spinBox_alarmDuration->value());
}

void MainWindow::on_spinBox_emissivity_editingFinished()
{
    writeSettingBox(Brisca::HoldingEmissivity, ui->spinBox_emissivity->value());
}

void MainWindow::on_radioButton_NoNcEnabled_toggled(bool checked)
{
    if (!device)
        return;
    if (writesChange())
        device->writeNoNcEnabled(checked);
    ui->radioButton_NoNcEnabled->setText(checked ? tr("ENABLED") : tr("DISABLED"));
}

void MainWindow::on_radioButton_App1Enable_clicked(bool checked)
{
    if (!device)
        return;
    device->writeApp1Enabled(checked);
}

void MainWindow::on_radioButton_App2Enable_clicked(bool checked)
{
    if (!device)
        return;
    device->writeApp2Enabled(checked);
}

void MainWindow::on_radioButton_App3Enable_clicked(bool checked)
{
    if (!device)
        return;
    device->writeApp3Enabled(checked);
}

void MainWindow::on_radioButton_App1Enable_toggled(bool checked)
{
    if (!device)
        return;
    showEnabled(ui->radioButton_App1Enable, ui->label_app1PageApplicationOneEnabled, checked);
}

void MainWindow::on_radioButton_App2Enable_toggled(bool checked)
{
    if (!device)
        return;
    showEnabled(ui->radioButton_App2Enable, ui->label_app2PageApplicationTwoEnabled, checked);
}

void MainWindow::on_radioButton_App3Enable_toggled(bool checked)
{
    if (!device)
        return;
    showEnabled(ui->radioButton_App3Enable, ui->label_app3PageApplicationThreeEnabled, checked);
}

void MainWindow::applyTemperatureChoice(int choice)
{
    // A choice the list does not know leaves the editors as they were.
    switch (choice) {
    case 0: // hot
        m_minimumEditorsAllowed = false;
        m_maximumEditorsAllowed = true;
        break;
    case 1: // cold
        m_minimumEditorsAllowed = true;
        m_maximumEditorsAllowed = false;
        break;
    case 2: // hot and cold
        m_minimumEditorsAllowed = true;
        m_maximumEditorsAllowed = true;
        break;
    default:
        break;
    }
    refreshThresholdEditors();
}

void MainWindow::refreshThresholdEditors()
{
    // Locked while the continuous mode runs, whatever arrives meanwhile.
    for (QDoubleSpinBox *editor :
         {ui->doubleSpinBox_app1MinThreshold, ui->doubleSpinBox_app2MinThreshold,
          ui->doubleSpinBox_app3MinThreshold})
        editor->setEnabled(m_minimumEditorsAllowed && !cycleModeActive);
    for (QDoubleSpinBox *editor :
         {ui->doubleSpinBox_app1MaxThreshold, ui->doubleSpinBox_app2MaxThreshold,
          ui->doubleSpinBox_app3MaxThreshold})
        editor->setEnabled(m_maximumEditorsAllowed && !cycleModeActive);
}
