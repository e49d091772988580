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

constexpr int statusTimeoutMs = 5000;

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

void followCoil(QAbstractButton *button, bool coil)
{
    // Only a real change may reach the button: its toggled handler updates the texts, and
    // the coil itself is written by clicks alone.
    if (button->isChecked() != coil)
        button->setChecked(coil);
}

} // namespace

void MainWindow::updateUiWithCoilsData()
{
    if (!device)
        return;

    followCoil(ui->radioButton_App1Enable, device->app1Enabled);
    followCoil(ui->radioButton_App2Enable, device->app2Enabled);
    followCoil(ui->radioButton_App3Enable, device->app3Enabled);

    // The controls below write on every change of state, so a value read from the
    // sensor that differs from the one shown is written straight back to it.
    ui->radioButton_NoNcEnabled->setChecked(device->noNcEnabled);
    ui->comboBox_alarmTimerBased->setCurrentIndex(device->alarmTimerBased ? 0 : 1);
    ui->comboBox_outputBehavior->setCurrentIndex(device->outputNormallyClosed ? 0 : 1);
    ui->comboBox_trasnistorTypeSelection->setCurrentIndex(device->transistorNpn ? 0 : 1);
    ui->radioButton_app1LimitFov->setChecked(device->app1LimitFov);
    ui->radioButton_frameAverageApps1And3->setChecked(device->frameAverage);
    ui->comboBox_counterType->setCurrentIndex(device->counterUnidirectional ? 1 : 0);
}

void MainWindow::updateUiWithHoldingRegsData()
{
    if (!device)
        return;

    ui->statusbar->showMessage(QStringLiteral("Done, connection successful"), statusTimeoutMs);

    ui->spinBox_slaveAddrUpdate->setValue(device->slaveAddress);
    ui->comboBox_baudrateUpdate->setCurrentText(ui->comboBox_baudrate->currentText());
    ui->comboBox_parityUpdate->setCurrentText(ui->comboBox_parity->currentText());
    ui->spinBox_alarmDuration->setValue(device->alarmDuration);
    ui->spinBox_movingAverageWindow->setValue(device->movingAverageWindow);

    // A choice outside 1..3 gives an index outside the list: the combo box is left
    // without a current item, and its handler then writes nothing.
    const int choiceIndex = int(device->temperatureChoice) - 1;
    ui->comboBox_temperatureChoice->setCurrentIndex(choiceIndex);
    applyTemperatureChoice(choiceIndex);

    const QString reticleText = QStringLiteral("%1x%1").arg(device->reticleSize);
    ui->comboBox_reticleSize->setCurrentIndex(
        ui->comboBox_reticleSize->findText(reticleText, Qt::MatchExactly | Qt::MatchCaseSensitive));

    ui->comboBox_gridROISize->setCurrentIndex(int(device->gridRoiSize) - 1);
    ui->spinBox_emissivity->setValue(device->emissivity);

    ui->doubleSpinBox_app1MaxThreshold->setValue(kelvinTenthsToCelsius(device->app1MaxThreshold));
    ui->doubleSpinBox_app1MinThreshold->setValue(kelvinTenthsToCelsius(device->app1MinThreshold));
    ui->doubleSpinBox_app2MaxThreshold->setValue(kelvinTenthsToCelsius(device->app2MaxThreshold));
    ui->doubleSpinBox_app2MinThreshold->setValue(kelvinTenthsToCelsius(device->app2MinThreshold));
    ui->doubleSpinBox_app3MaxThreshold->setValue(kelvinTenthsToCelsius(device->app3MaxThreshold));
    ui->doubleSpinBox_app3MinThreshold->setValue(kelvinTenthsToCelsius(device->app3MinThreshold));
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
    if (!device)
        return;
    device->writeOutputBehavior(index == 0);
}

void MainWindow::on_comboBox_trasnistorTypeSelection_currentIndexChanged(int index)
{
    if (!device)
        return;
    device->writeTransistorType(index == 0);
}

void MainWindow::on_comboBox_temperatureChoice_currentIndexChanged(int index)
{
    // No current item means the sensor holds a choice the list does not know; writing
    // index + 1 would replace it with 0.
    if (!device || index < 0)
        return;
    device->writeTemperatureChoice(quint8(index + 1));
    applyTemperatureChoice(index);
}

void MainWindow::on_comboBox_alarmTimerBased_currentIndexChanged(int index)
{
    if (!device)
        return;
    if (index == 0) {
        ui->spinBox_alarmDuration->setEnabled(true);
        device->writeAlarmTimerBased(true);
    } else {
        ui->spinBox_alarmDuration->setEnabled(false);
        device->writeAlarmTimerBased(false);
    }
}

void MainWindow::on_spinBox_alarmDuration_editingFinished()
{
    if (!device)
        return;
    device->writeAlarmDuration(quint16(ui->spinBox_alarmDuration->value()));
}

void MainWindow::on_spinBox_emissivity_editingFinished()
{
    if (!device)
        return;
    device->writeEmissivity(quint8(ui->spinBox_emissivity->value()));
}

void MainWindow::on_radioButton_NoNcEnabled_toggled(bool checked)
{
    if (!device)
        return;
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
    QDoubleSpinBox *const minimumEditors[] = {ui->doubleSpinBox_app1MinThreshold,
                                              ui->doubleSpinBox_app2MinThreshold,
                                              ui->doubleSpinBox_app3MinThreshold};
    QDoubleSpinBox *const maximumEditors[] = {ui->doubleSpinBox_app1MaxThreshold,
                                              ui->doubleSpinBox_app2MaxThreshold,
                                              ui->doubleSpinBox_app3MaxThreshold};
    const auto setEnabled = [](QDoubleSpinBox *const(&editors)[3], bool on) {
        for (QDoubleSpinBox *editor : editors)
            editor->setEnabled(on);
    };

    switch (choice) {
    case 0: // hot
        setEnabled(minimumEditors, false);
        setEnabled(maximumEditors, true);
        break;
    case 1: // cold
        setEnabled(maximumEditors, false);
        setEnabled(minimumEditors, true);
        break;
    case 2: // hot and cold
        setEnabled(minimumEditors, true);
        setEnabled(maximumEditors, true);
        break;
    default:
        break;
    }
}
