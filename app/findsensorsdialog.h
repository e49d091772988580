#pragma once

#include "briscascanner.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;

// Tools → "Find sensors": walks the bus with the scanner and lists what answered, for a
// sensor whose address and line settings nobody wrote down.
//
// The dialog only scans and lists. Opening the found sensor is the main window's job: it
// answers useRequested() the way an operator fills in the connection page. The scan needs
// the port closed, so the window tells the dialog which port it holds open and closes it
// when the dialog asks (disconnectRequested()).
class FindSensorsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit FindSensorsDialog(QWidget *parent = nullptr);

    void setPort(const QString &port);
    // The connection page's settings: scanned right after the factory settings.
    void setCurrentLine(const LineSetting &line);
    // The port the main window holds open, empty when none.
    void setPortInUse(const QString &port);

    BriscaScanner *scanner() const { return m_scanner; }
    ScanSettings settings() const;

    static QString parityName(QSerialPort::Parity parity);
    static QString durationText(qint64 ms);

public slots:
    void startScan();

signals:
    void disconnectRequested();
    void useRequested(const ScanResult &result);

protected:
    void reject() override;

private:
    void updateEstimate();
    void showProgress();
    void addResult(const ScanResult &result);
    void scanFinished(bool cancelled, const QString &error);
    void useSelected();
    void setScanning(bool on);

    BriscaScanner *m_scanner;
    LineSetting m_current;
    QString m_portInUse;
    QLineEdit *m_port;
    QVector<QCheckBox *> m_bauds;
    QVector<QCheckBox *> m_parities;
    QSpinBox *m_from;
    QSpinBox *m_to;
    QSpinBox *m_wait;
    QLabel *m_waitText;
    QProgressBar *m_progress;
    QLabel *m_timeLeft;
    QTableWidget *m_table;
    QPushButton *m_start;
    QPushButton *m_cancel;
    QPushButton *m_use;
};
