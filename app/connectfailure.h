#pragma once

#include <QCoreApplication>
#include <QSerialPort>
#include <QString>

// What the connection page says when a port does not open: always the port it tried, and
// what the operator can do about it. The serial port's own texts say only "Permission
// error while locking the device" for a port another program holds, and "Is a directory"
// for an empty port field.
class ConnectFailure
{
    Q_DECLARE_TR_FUNCTIONS(MainWindow)
public:
    static QString noPortText();
    // `error` and `errorString` as the serial port reported them when it did not open.
    static QString text(const QString &port, QSerialPort::SerialPortError error,
                        const QString &errorString);
    // How to get the right to open `deviceFile`, naming the group that owns it.
    static QString permissionAdvice(const QString &deviceFile);
};
