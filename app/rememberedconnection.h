#pragma once

#include <QByteArray>
#include <QString>

// The connection of the last successful validation and the window's geometry, kept between
// runs with QSettings under the program's organisation and name.
//
// A program that has not named its organisation (the tests, the tour, the benches) keeps
// nothing: QSettings would still write, under "Unknown Organization", and every later run of
// that program would then start from what an earlier one left.
class RememberedConnection
{
public:
    // Each value that is missing or makes no sense to the connection page stays empty
    // (port), 0 (baud rate, slave) or -1 (parity index), and the page keeps its default.
    QString port;
    qint32 baudRate = 0;
    int parityIndex = -1; // as on the page: 0 none, 1 even, 2 odd
    int slave = 0;

    static bool isKept();
    static RememberedConnection load();
    void save() const;

    static QByteArray windowGeometry();
    static void saveWindowGeometry(const QByteArray &geometry);
};
