#include "rememberedconnection.h"

#include "briscaregisters.h"

#include <QCoreApplication>
#include <QSettings>
#include <QStringList>

namespace {

const QString PortKey = QStringLiteral("connection/port");
const QString BaudKey = QStringLiteral("connection/baudRate");
const QString ParityKey = QStringLiteral("connection/parity");
const QString SlaveKey = QStringLiteral("connection/slave");
const QString GeometryKey = QStringLiteral("window/geometry");

// Words rather than the page's indices, so that a reordered list cannot turn a remembered
// even parity into odd.
const QStringList ParityWords = {QStringLiteral("none"), QStringLiteral("even"),
                                 QStringLiteral("odd")};

} // namespace

bool RememberedConnection::isKept()
{
    return !QCoreApplication::organizationName().isEmpty();
}

RememberedConnection RememberedConnection::load()
{
    RememberedConnection remembered;
    if (!isKept())
        return remembered;
    const QSettings settings;
    remembered.port = settings.value(PortKey).toString();
    bool ok = false;
    const qint32 baud = settings.value(BaudKey).toInt(&ok);
    if (ok && Brisca::isSensorBaudRate(quint32(baud)))
        remembered.baudRate = baud;
    remembered.parityIndex = int(ParityWords.indexOf(settings.value(ParityKey).toString()));
    const int slave = settings.value(SlaveKey).toInt(&ok);
    if (ok && slave >= 1 && slave <= 247)
        remembered.slave = slave;
    return remembered;
}

void RememberedConnection::save() const
{
    if (!isKept())
        return;
    QSettings settings;
    settings.setValue(PortKey, port);
    settings.setValue(BaudKey, baudRate);
    settings.setValue(ParityKey, ParityWords.value(parityIndex));
    settings.setValue(SlaveKey, slave);
}

QByteArray RememberedConnection::windowGeometry()
{
    return isKept() ? QSettings().value(GeometryKey).toByteArray() : QByteArray();
}

void RememberedConnection::saveWindowGeometry(const QByteArray &geometry)
{
    if (isKept())
        QSettings().setValue(GeometryKey, geometry);
}
