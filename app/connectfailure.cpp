#include "connectfailure.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
// The group of the file a port name leads to (through the link a udev rule or the virtual
// sensor makes); empty when it cannot be told.
QString owningGroup(const QString &deviceFile)
{
    struct stat info;
    if (::stat(QFile::encodeName(deviceFile).constData(), &info) != 0)
        return QString();
    if (const struct group *group = ::getgrgid(info.st_gid))
        return QString::fromLocal8Bit(group->gr_name);
    return QString::number(info.st_gid);
}
#endif

// The serial port reports a port held by someone else and a port it may not open with the
// same code: only the file's permissions tell the two apart.
bool mayOpen(const QString &deviceFile)
{
#ifdef Q_OS_UNIX
    return ::access(QFile::encodeName(deviceFile).constData(), R_OK | W_OK) == 0;
#else
    Q_UNUSED(deviceFile)
    return true;
#endif
}

} // namespace

QString ConnectFailure::noPortText()
{
    return tr("Connect failed: ") +
           tr("no port chosen. Choose the converter's port from the list of the "
              "port field, or type its name.");
}

QString ConnectFailure::text(const QString &port, QSerialPort::SerialPortError error,
                             const QString &errorString)
{
    const QString head = tr("Connect failed: ") + port + QStringLiteral(": ");
    switch (error) {
    case QSerialPort::PermissionError:
        if (!mayOpen(port))
            return head + permissionAdvice(port);
        return head +
               tr("the port is in use by another program. Close the port there, or quit that "
                  "program, and press Connect again.");
    case QSerialPort::DeviceNotFoundError:
        return head + errorString + QStringLiteral(". ") +
               tr("Check that the converter is plugged in, or choose its port from the list.");
    default:
        return head + errorString;
    }
}

QString ConnectFailure::permissionAdvice(const QString &deviceFile)
{
    const QString denied = tr("no permission to open it.");
#ifdef Q_OS_UNIX
    const QString group = owningGroup(deviceFile);
    if (!group.isEmpty())
        return denied + QLatin1Char(' ') +
               tr("It belongs to the group \"%1\": join it with \"sudo usermod -aG %1 $USER\", "
                  "then log out and in again.")
                   .arg(group);
#else
    Q_UNUSED(deviceFile)
#endif
    return denied;
}
