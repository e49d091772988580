#pragma once

#include <QObject>
#include <QPointer>

class BriscaDevice;
class FindSensorsDialog;
class MainWindow;
class QAction;
class QPushButton;
struct ScanResult;

namespace Ui {
class MainWindow;
}

// What the connection page adds to the form: the port list on the port field, Enter in it
// to connect, the line settings locked while the port is open (they only take effect on
// the next Connect), the connection of the last validation and the window's geometry
// remembered between runs, and "Find sensors…" (a button beside the port field and an entry
// of the Tools menu).
//
// It works through the page's own controls, as an operator would, and follows the link the
// window holds through MainWindow::deviceChanged().
class ConnectionPage : public QObject
{
    Q_OBJECT
public:
    ConnectionPage(MainWindow *window, Ui::MainWindow *ui);

    QPushButton *findSensorsButton() const { return m_findButton; }
    QAction *findSensorsAction() const { return m_findAction; }

    // Opens the Find sensors dialog (one at a time) for the port on the page.
    void openFindSensors();
    // Fills the page with a sensor the scan found, connects and selects it.
    void use(const ScanResult &result);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void followDevice(BriscaDevice *device);
    void updateLocks();
    void connectOnEnter();
    void rememberValidated();
    void restore();
    void closePort();
    // The port the window holds open, empty when none.
    QString portInUse() const;

    MainWindow *m_window;
    Ui::MainWindow *m_ui;
    QPointer<BriscaDevice> m_device;
    QPointer<FindSensorsDialog> m_dialog;
    QPushButton *m_findButton;
    QAction *m_findAction;
};
