#pragma once

#include <QObject>
#include <QPointer>

class BriscaDevice;
class ConfigurationLoadDialog;
class QAction;
class QMainWindow;
class QMenu;

// Tools → "Save sensor configuration…" and "Load configuration onto sensor…".
//
// The entries are usable when "Factory reset" is (a sensor has been validated and no
// continuous mode runs) and nothing of theirs is under way. They follow the window's link
// through setDevice().
class ConfigurationActions : public QObject
{
    Q_OBJECT
public:
    ConfigurationActions(QMainWindow *window, QMenu *tools, QAction *enabledLike);

    QAction *saveAction() const { return m_save; }
    QAction *loadAction() const { return m_load; }

    // Reads the sensor's settings afresh and writes them to `path`; the status bar says
    // where, a message box why not.
    void saveTo(const QString &path);
    // Checks the file; shows why it cannot be loaded, or opens the dialog that shows the
    // differences and writes on confirmation (returned, or null).
    ConfigurationLoadDialog *loadFrom(const QString &path);

public slots:
    void setDevice(BriscaDevice *device);

private:
    void chooseSaveFile();
    void chooseLoadFile();
    void updateActions();
    void showError(const QString &title, const QString &text);

    QMainWindow *m_window;
    QAction *m_enabledLike;
    QAction *m_save;
    QAction *m_load;
    QPointer<BriscaDevice> m_device;
    bool m_saving = false;
    QPointer<ConfigurationLoadDialog> m_dialog;
};
