#pragma once

#include <QObject>
#include <QString>

class QAction;
class QLineEdit;
class QMenu;
class QSerialPortInfo;

// Offers the serial ports the system has on a port field, without taking the field over:
// a drop-down button at its end lists the ports, read afresh each time the list opens, so
// an adapter plugged in a moment ago is there without a restart. Choosing one puts its path
// into the field; any other path (a pseudo-terminal, which the system does not list) can
// still be typed.
class PortChooser : public QObject
{
    Q_OBJECT
public:
    explicit PortChooser(QLineEdit *field);

    // "ttyUSB0 — FT232R USB UART (FTDI, serial A10K3X2)": the name and, where the system
    // knows them, the adapter's description, maker and serial number.
    static QString describe(const QSerialPortInfo &port);

    QMenu *menu() const { return m_menu; }
    QAction *action() const { return m_action; }

private:
    void refresh();

    QLineEdit *m_field;
    QAction *m_action;
    QMenu *m_menu;
};
