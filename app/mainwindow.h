#pragma once

#include <QMainWindow>
#include <QModbusDataUnit>
#include <QModbusDevice>
#include <QPointer>
#include <QVector>

class About;
class BriscaDevice;
class DataAge;
class QDoubleSpinBox;

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

// The controller of the whole user interface: it owns the form, the sensor link while one
// exists, and turns operator actions into sensor operations and sensor data into widgets.
//
// The handlers of the form are connected by name when the form is set up; the handlers of
// the sensor link are connected by initialize(), which Connect calls. The handlers are
// spread over mainwindow.cpp (shell, connection page, menus), mainwindow_settings.cpp
// (settings page and the display of received data) and mainwindow_applications.cpp
// (application pages, images and continuous mode).
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Temperatures travel as tenths of a kelvin; these are the two directions as the
    // window shows and edits them (defined in mainwindow.cpp).
    static float kelvinTenthsToCelsius(quint16 raw);
    static quint16 celsiusToKelvinTenths(double celsius);

signals:
    // The sensor link the window now holds, or null: the parts that show or record what
    // the sensor sends follow it from here instead of reaching into the window.
    void deviceChanged(BriscaDevice *device);

public slots:
    void status_received(QString s);
    void updateUiWithCoilsData();
    void updateUiWithHoldingRegsData();
    void updateImageWithPixelData(QVector<quint16> frame);
    void updateUiWithInputRegsData();
    void updateUiWithDiscreteInputsData();
    void connectionValidated();

private slots:
    void on_pushButton_Connection_toggled(bool checked);
    void on_pushButton_Settings_toggled(bool checked);
    void on_pushButton_Application1_toggled(bool checked);
    void on_pushButton_Application2_toggled(bool checked);
    void on_pushButton_Application3_toggled(bool checked);
    void on_pushButton_connect_clicked();
    void initialize();
    void on_pushButton_Disconnect_clicked();
    void on_pushButton_SelectSlave_clicked();
    void on_pushButton_getImage_clicked();
    void on_pushButton_updateSlaveConnectionParams_clicked();
    void on_comboBox_outputBehavior_currentIndexChanged(int index);
    void on_comboBox_trasnistorTypeSelection_currentIndexChanged(int index);
    void on_comboBox_temperatureChoice_currentIndexChanged(int index);
    void on_comboBox_alarmTimerBased_currentIndexChanged(int index);
    void on_spinBox_alarmDuration_editingFinished();
    void on_pushButton_app1SetNewThresholds_clicked();
    void on_pushButton_app1UpdateData_clicked();
    void on_radioButton_App1Enable_clicked(bool checked);
    void on_radioButton_App2Enable_clicked(bool checked);
    void on_radioButton_App3Enable_clicked(bool checked);
    void on_radioButton_App1Enable_toggled(bool checked);
    void on_pushButton_app2SetNewThresholds_clicked();
    void on_pushButton_app2GetImage_clicked();
    void on_pushButton_app2UpdateData_clicked();
    void on_radioButton_App2Enable_toggled(bool checked);
    void on_spinBox_movingAverageWindow_editingFinished();
    void on_comboBox_reticleSize_currentIndexChanged(int index);
    void on_pushButton_app3GetImage_clicked();
    void on_comboBox_gridROISize_currentIndexChanged(int index);
    void on_comboBox_counterType_currentIndexChanged(int index);
    void on_pushButton_app3SetNewThresholds_clicked();
    void on_radioButton_App3Enable_toggled(bool checked);
    void on_pushButton_app3UpdateData_clicked();
    void on_radioButton_frameAverageApps1And3_toggled(bool checked);
    void on_radioButton_app1LimitFov_toggled(bool checked);
    void on_pushButton_cycleMode_toggled(bool checked);
    void on_pushButton_cycleMode1_toggled(bool checked);
    void on_pushButton_cycleMode3_toggled(bool checked);
    void on_pushButton_resetApp3Counter_clicked();
    void on_radioButton_frameAverageApps1And3_2_toggled(bool checked);
    void on_radioButton_NoNcEnabled_toggled(bool checked);
    void on_pushButton_clearNONCapp1_clicked();
    void on_pushButton_clearNONCapp1_2_clicked();
    void on_pushButton_clearNONCapp1_3_clicked();
    void on_actionProduct_page_triggered();
    void on_actionLicense_triggered();
    void on_actionReset_device_triggered();
    void on_spinBox_emissivity_editingFinished();

    // Not connected by name: initialize() wires it to the device, to notice a link that
    // the device closed by itself (adapter pulled, line hung up).
    void deviceStateChanged(QModbusDevice::State state);
    // Not connected by name: a write the sensor did not take leaves its control showing
    // what the sensor holds.
    void writeFailed(QModbusDataUnit::RegisterType table);

private:
    // Every message of the window stays this long; a newer one replaces it.
    static constexpr int StatusTimeoutMs = 5000;

    void showPage(int index);
    void setUpRecording();
    void setDeviceControlsEnabled(bool on);  // mainwindow.cpp
    void applyTemperatureChoice(int choice); // mainwindow_settings.cpp
    void setCycleMode(bool on);              // mainwindow_applications.cpp
    void setManualControlsEnabled(bool on);  // mainwindow_applications.cpp
    // Threshold editors: editable when the temperature choice allows and no continuous
    // mode runs.
    void refreshThresholdEditors(); // mainwindow_settings.cpp
    // Fills the widgets of every page from the holding register caches.
    void showHoldingRegisters(); // mainwindow_settings.cpp
    // Whether a control of this register may be set from the caches: not while a write of
    // it is on its way, or an older echo would set a newer choice back (and write it).
    bool followsSensor(QModbusDataUnit::RegisterType table, int address) const;
    // Whether a control's change is written to the sensor: not while the window shows
    // again what the sensor holds after a write it did not take.
    bool writesChange() const { return device && !m_showingFailedWrite; }
    // Writes a setting box's value unless the sensor holds it or is about to.
    void writeSettingBox(int address, int value);
    // Application 1's coldest and hottest pixel on its plot, when they belong to the frame
    // drawn (mainwindow_applications.cpp).
    bool app1ExtremesCurrent(bool frameArriving) const;
    void setThresholds(int application);   // mainwindow_applications.cpp
    void clearNoNcOutput();                // mainwindow_applications.cpp
    void updateMeasurements();             // mainwindow_applications.cpp
    void requestImage();                   // mainwindow_applications.cpp
    void cycleButtonToggled(bool checked); // mainwindow_applications.cpp
    void uncheckCycleButtons();            // mainwindow_applications.cpp
    // Closes the port and deletes the device; no-op without one.
    void releaseDevice();
    // Shows the modal OK/Cancel warning of the destructive commands; true on OK.
    static bool confirmDestructiveCommand(const QString &text);

    Ui::MainWindow *ui;
    BriscaDevice *device;
    QPointer<About> aboutDialog;
    bool cycleModeActive;
    // What the temperature choice allows, kept apart from the continuous mode's lock so
    // that stopping the mode restores the editors as they were.
    bool m_minimumEditorsAllowed = true;
    bool m_maximumEditorsAllowed = true;
    bool m_showingFailedWrite = false;
    DataAge *m_dataAge = nullptr;
};
