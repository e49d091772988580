// The three application pages: thresholds, options, single and continuous images.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "briscadevice.h"
#include "briscaregisters.h"
#include "dataage.h"
#include "framepages.h"
#include "image.h"
#include "sample.h"

#include <QAction>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStatusBar>

#include <utility>

// Both thresholds of an application go out together, the maximum first; an editor the
// temperature choice disables sends the value it shows.
void MainWindow::setThresholds(int application)
{
    if (!device)
        return;
    QDoubleSpinBox *const editors[][2] = {
        {ui->doubleSpinBox_app1MaxThreshold, ui->doubleSpinBox_app1MinThreshold},
        {ui->doubleSpinBox_app2MaxThreshold, ui->doubleSpinBox_app2MinThreshold},
        {ui->doubleSpinBox_app3MaxThreshold, ui->doubleSpinBox_app3MinThreshold}};
    const quint16 minimum = celsiusToKelvinTenths(editors[application - 1][1]->value());
    const quint16 maximum = celsiusToKelvinTenths(editors[application - 1][0]->value());
    switch (application) {
    case 1:
        device->writeApp1Thresholds(maximum, minimum);
        break;
    case 2:
        device->writeApp2Thresholds(maximum, minimum);
        break;
    default:
        device->writeApp3Thresholds(maximum, minimum);
        break;
    }
}

void MainWindow::on_pushButton_app1SetNewThresholds_clicked()
{
    setThresholds(1);
}

void MainWindow::on_pushButton_app2SetNewThresholds_clicked()
{
    setThresholds(2);
}

void MainWindow::on_pushButton_app3SetNewThresholds_clicked()
{
    setThresholds(3);
}

void MainWindow::updateMeasurements()
{
    if (!device)
        return;
    device->updateMeasurements();
}

void MainWindow::on_pushButton_app1UpdateData_clicked()
{
    updateMeasurements();
}

void MainWindow::on_pushButton_app2UpdateData_clicked()
{
    updateMeasurements();
}

void MainWindow::on_pushButton_app3UpdateData_clicked()
{
    if (!device)
        return;
    device->readApp3Data();
}

void MainWindow::requestImage()
{
    if (!device)
        return;
    device->requestImage();
}

void MainWindow::on_pushButton_getImage_clicked()
{
    requestImage();
}

void MainWindow::on_pushButton_app2GetImage_clicked()
{
    requestImage();
}

void MainWindow::on_pushButton_app3GetImage_clicked()
{
    if (!device)
        return;
    device->readApp3Data();
    device->requestImage();
}

void MainWindow::on_radioButton_frameAverageApps1And3_toggled(bool checked)
{
    if (!device)
        return;
    if (writesChange())
        device->writeFrameAverage(checked);
    ui->radioButton_frameAverageApps1And3_2->setChecked(checked);
}

void MainWindow::on_radioButton_frameAverageApps1And3_2_toggled(bool checked)
{
    if (!device)
        return;
    if (writesChange())
        device->writeFrameAverage(checked);
    ui->radioButton_frameAverageApps1And3->setChecked(checked);
}

void MainWindow::on_radioButton_app1LimitFov_toggled(bool checked)
{
    if (!device)
        return;
    if (writesChange())
        device->writeApp1LimitFov(checked);
    // The last frame is drawn again with or without the square; no new frame is read.
    Recording::Sample option;
    if (device)
        option.measurements = Recording::Measurements::fromDevice(*device);
    option.measurements.app1LimitFov = checked;
    if (!app1ExtremesCurrent(false))
        FramePages::forgetExtremes(option.measurements);
    FramePages::drawOverlays(*ui->tempPlot_app1, FramePages::Application1, option);
    ui->tempPlot_app1->plotPixelData();
}

bool MainWindow::app1ExtremesCurrent(bool frameArriving) const
{
    // Positions from before the sensor last fell silent, or read after the frame shown,
    // would point beside the spots they name.
    if (!device || !m_dataAge->isCurrent(DataAge::App1Measurements))
        return false;
    return frameArriving || (m_dataAge->isCurrent(DataAge::Frame) &&
                             m_dataAge->receivedAt(DataAge::App1Measurements) <=
                                 m_dataAge->receivedAt(DataAge::Frame));
}

void MainWindow::on_spinBox_movingAverageWindow_editingFinished()
{
    writeSettingBox(Brisca::HoldingMovingAverageWindow, ui->spinBox_movingAverageWindow->value());
}

void MainWindow::on_comboBox_reticleSize_currentIndexChanged(int index)
{
    // No current item: the sensor holds a size the list does not offer, and 2 * -1 + 2
    // would overwrite it with 0.
    if (writesChange() && index >= 0)
        device->writeReticleSize(quint8(2 * index + 2));
}

void MainWindow::on_comboBox_gridROISize_currentIndexChanged(int index)
{
    // As for the centred area: a code outside the list must not be replaced by 0.
    if (writesChange() && index >= 0)
        device->writeGridRoiSize(quint8(index + 1));
}

void MainWindow::on_comboBox_counterType_currentIndexChanged(int index)
{
    if (writesChange())
        device->writeCounterType(index != 0);
}

void MainWindow::on_pushButton_resetApp3Counter_clicked()
{
    if (!device)
        return;
    device->resetApp3Counter();
    ui->label_app3CounterValue->setText(QStringLiteral("0"));
}

// The same command from each page.
void MainWindow::clearNoNcOutput()
{
    if (!device)
        return;
    device->clearNoNcOutput();
}

void MainWindow::on_pushButton_clearNONCapp1_clicked()
{
    clearNoNcOutput();
}

void MainWindow::on_pushButton_clearNONCapp1_2_clicked()
{
    clearNoNcOutput();
}

void MainWindow::on_pushButton_clearNONCapp1_3_clicked()
{
    clearNoNcOutput();
}

void MainWindow::on_pushButton_cycleMode_toggled(bool checked)
{
    cycleButtonToggled(checked);
}

void MainWindow::on_pushButton_cycleMode1_toggled(bool checked)
{
    cycleButtonToggled(checked);
}

void MainWindow::on_pushButton_cycleMode3_toggled(bool checked)
{
    cycleButtonToggled(checked);
}

void MainWindow::cycleButtonToggled(bool checked)
{
    // Without a device the button only changes its own state. Stopping stays possible,
    // so a mode cut short by a lost link can always be left.
    if (checked && !device)
        return;
    setCycleMode(checked);
}

void MainWindow::setCycleMode(bool on)
{
    if (on == cycleModeActive) {
        // A second start would put a second request cycle on the bus, and the two would
        // then feed each other for as long as the mode runs.
        if (!on)
            uncheckCycleButtons();
        return;
    }
    if (on && !device)
        return;

    cycleModeActive = on;
    setManualControlsEnabled(!on);
    // A frame still on its way (stopped and started again before it came) carries the
    // cycle on when it arrives; a second request now would start a second cycle beside it.
    if (on && device->imagesPending() == 0)
        device->requestImage();
    else if (!on)
        uncheckCycleButtons();
}

void MainWindow::uncheckCycleButtons()
{
    // Also reached when the link is lost and the mode is stopped from outside: the
    // buttons must not keep showing a mode that no longer runs.
    for (QPushButton *button :
         {ui->pushButton_cycleMode, ui->pushButton_cycleMode1, ui->pushButton_cycleMode3}) {
        const QSignalBlocker blocker(button);
        button->setChecked(false);
    }
}

void MainWindow::setManualControlsEnabled(bool on)
{
    QWidget *const controls[] = {
        ui->pushButton_Settings,
        ui->pushButton_Application1,
        ui->pushButton_Application2,
        ui->pushButton_Application3,
        ui->pushButton_Connection,
        ui->pushButton_app1SetNewThresholds,
        ui->pushButton_app1UpdateData,
        ui->pushButton_app2GetImage,
        ui->pushButton_app2SetNewThresholds,
        ui->pushButton_app2UpdateData,
        ui->pushButton_app3GetImage,
        ui->pushButton_app3SetNewThresholds,
        ui->pushButton_clearNONCapp1,
        ui->pushButton_clearNONCapp1_2,
        ui->pushButton_clearNONCapp1_3,
        ui->pushButton_getImage,
        ui->pushButton_resetApp3Counter,
        ui->radioButton_app1LimitFov,
        ui->radioButton_frameAverageApps1And3,
        ui->radioButton_frameAverageApps1And3_2,
        ui->comboBox_gridROISize,
        ui->comboBox_counterType,
        ui->comboBox_reticleSize,
        ui->spinBox_movingAverageWindow,
    };
    for (QWidget *control : controls)
        control->setEnabled(on);
    ui->actionReset_device->setEnabled(on);

    // All six editors are locked while the mode runs and afterwards are as the
    // temperature choice left them, also when the sensor holds a choice the list lacks.
    refreshThresholdEditors();
}

void MainWindow::updateImageWithPixelData(QVector<quint16> frame)
{
    if (!device)
        return;

    // The view reads exactly one frame's worth of values; anything else is not a frame.
    if (frame.size() == Brisca::FramePixelCount) {
        // The pages draw their overlays from the device's settings as they are now, and the
        // region temperatures of this read label the grid once: the list is used up here
        // whether or not a grid can be drawn.
        Recording::Sample shown;
        shown.frame = std::move(frame);
        shown.measurements = Recording::Measurements::fromDevice(*device);
        shown.roiTemperatures = std::exchange(device->roiTemperatures, {});
        if (!app1ExtremesCurrent(true))
            FramePages::forgetExtremes(shown.measurements);
        image *const plots[] = {ui->tempPlot_app1, ui->tempPlot_app2, ui->tempPlot_app3};
        for (int page = 0; page < FramePages::PageCount; ++page)
            FramePages::showFrame(*plots[page], page, shown);
    }

    ui->statusbar->showMessage(QStringLiteral("Done"), StatusTimeoutMs);

    // One cycle at a time: when another image is still on its way, its frame goes on.
    if (cycleModeActive && device->imagesPending() == 0)
        device->requestImage();
}
