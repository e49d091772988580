#include "configurationactions.h"

#include "briscadevice.h"
#include "configuration.h"
#include "configurationloaddialog.h"
#include "sensorconfigurator.h"

#include <QAction>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QSaveFile>
#include <QStatusBar>

using BriscaConfig::Configuration;
using BriscaConfig::SensorConfigurator;

namespace {
constexpr int StatusTimeoutMs = 5000;
const char FileFilter[] =
    QT_TRANSLATE_NOOP("ConfigurationActions", "Sensor configurations (*.json);;All files (*)");
} // namespace

ConfigurationActions::ConfigurationActions(QMainWindow *window, QMenu *tools, QAction *enabledLike)
    : QObject(window)
    , m_window(window)
    , m_enabledLike(enabledLike)
    , m_save(new QAction(tr("Save sensor &configuration…"), window))
    , m_load(new QAction(tr("&Load configuration onto sensor…"), window))
{
    m_save->setObjectName(QStringLiteral("actionSaveConfiguration"));
    m_load->setObjectName(QStringLiteral("actionLoadConfiguration"));
    tools->addAction(m_save);
    tools->addAction(m_load);
    connect(m_save, &QAction::triggered, this, &ConfigurationActions::chooseSaveFile);
    connect(m_load, &QAction::triggered, this, &ConfigurationActions::chooseLoadFile);
    connect(enabledLike, &QAction::changed, this, &ConfigurationActions::updateActions);
    updateActions();
}

void ConfigurationActions::setDevice(BriscaDevice *device)
{
    m_device = device;
    updateActions();
}

void ConfigurationActions::updateActions()
{
    const bool usable = m_enabledLike->isEnabled() && m_device && !m_saving && !m_dialog;
    m_save->setEnabled(usable);
    m_load->setEnabled(usable);
}

void ConfigurationActions::chooseSaveFile()
{
    const QString suggestion =
        m_device ? tr("brisca-slave-%1.json").arg(m_device->slaveAddress) : QString();
    const QString path = QFileDialog::getSaveFileName(
        m_window, tr("Save sensor configuration"), suggestion,
        QCoreApplication::translate("ConfigurationActions", FileFilter));
    if (!path.isEmpty())
        saveTo(path);
}

void ConfigurationActions::chooseLoadFile()
{
    const QString path = QFileDialog::getOpenFileName(
        m_window, tr("Load configuration onto sensor"), QString(),
        QCoreApplication::translate("ConfigurationActions", FileFilter));
    if (!path.isEmpty())
        loadFrom(path);
}

void ConfigurationActions::saveTo(const QString &path)
{
    if (!m_device || m_saving)
        return;
    // What the window shows may be older than the sensor: the file gets what it holds now.
    auto *reader = new SensorConfigurator(m_device, this);
    m_saving = true;
    updateActions();
    const auto done = [this, reader] {
        reader->deleteLater();
        m_saving = false;
        updateActions();
    };
    connect(reader, &SensorConfigurator::readFailed, this, [this, done](const QString &error) {
        done();
        showError(tr("Save sensor configuration"),
                  tr("The sensor's settings could not be read: %1").arg(error));
    });
    connect(reader, &SensorConfigurator::settingsRead, this, [this, done, path] {
        done();
        if (!m_device)
            return;
        const QString port =
            m_device->connectionParameter(QModbusDevice::SerialPortNameParameter).toString();
        const QByteArray json = Configuration::fromSensor(*m_device, port).toJson();
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit()) {
            showError(tr("Save sensor configuration"),
                      tr("%1 could not be written: %2").arg(path, file.errorString()));
            return;
        }
        m_window->statusBar()->showMessage(tr("Sensor configuration saved to %1").arg(path),
                                           StatusTimeoutMs);
    });
    reader->readSettings();
}

ConfigurationLoadDialog *ConfigurationActions::loadFrom(const QString &path)
{
    if (!m_device || m_dialog)
        return nullptr;
    QFile file(path);
    QString error;
    Configuration configuration;
    if (!file.open(QIODevice::ReadOnly))
        error = file.errorString();
    else
        Configuration::fromJson(file.readAll(), &configuration, &error);
    if (!error.isEmpty()) {
        showError(
            tr("Load configuration onto sensor"),
            tr("%1 cannot be loaded:\n%2\n\nNothing was written to the sensor.").arg(path, error));
        return nullptr;
    }
    m_dialog = new ConfigurationLoadDialog(m_device, configuration, path, m_window);
    m_dialog->setAttribute(Qt::WA_DeleteOnClose);
    // A widget announces its end before its guards are cleared.
    connect(m_dialog, &QObject::destroyed, this, [this] {
        m_dialog = nullptr;
        updateActions();
    });
    updateActions();
    m_dialog->open();
    return m_dialog;
}

void ConfigurationActions::showError(const QString &title, const QString &text)
{
    // Window-modal and not waited for: the link goes on meanwhile.
    auto *box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, m_window);
    box->setObjectName(QStringLiteral("configurationError"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
