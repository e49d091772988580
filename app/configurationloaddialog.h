#pragma once

#include "configuration.h"

#include <QDialog>
#include <QPointer>

class BriscaDevice;
class QLabel;
class QPushButton;
class QTableWidget;

namespace BriscaConfig {
class SensorConfigurator;
}

// Loads a configuration onto the sensor in two steps: it reads the sensor's settings and
// shows where they differ from the file (setting, sensor now, file); only "Write to sensor"
// writes, and the dialog then shows what every setting came to. The bus settings are shown
// but not written from here: changing them is the connection page's job.
class ConfigurationLoadDialog : public QDialog
{
    Q_OBJECT
public:
    ConfigurationLoadDialog(BriscaDevice *device, const BriscaConfig::Configuration &configuration,
                            const QString &path, QWidget *parent = nullptr);

    QTableWidget *table() const { return m_table; }
    QPushButton *writeButton() const { return m_write; }
    QString summary() const;
    bool isWriting() const;

public slots:
    void write();

protected:
    void reject() override;

private:
    void showDifferences();
    void showResult(bool ok);
    void setRow(int row, const QStringList &cells, bool muted = false);

    BriscaConfig::Configuration m_configuration;
    QString m_path;
    QPointer<BriscaDevice> m_device;
    BriscaConfig::SensorConfigurator *m_configurator;
    QLabel *m_summary;
    QTableWidget *m_table;
    QPushButton *m_write;
    QPushButton *m_close;
};
