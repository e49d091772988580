#include "framegrid.h"

#include "briscaregisters.h"
#include "recordingformat.h"

#include <QCoreApplication>
#include <QSaveFile>

namespace Recording {

QByteArray frameGridCsv(const QVector<quint16> &frame)
{
    if (frame.size() != Brisca::FramePixelCount)
        return {};
    QByteArray out;
    out.reserve(Brisca::FramePixelCount * 8);
    for (int row = Brisca::FrameHeight - 1; row >= 0; --row) {
        for (int column = 0; column < Brisca::FrameWidth; ++column) {
            if (column > 0)
                out.append(',');
            appendCelsius(out, frame.at(column * Brisca::FrameHeight + row));
        }
        out.append('\n');
    }
    return out;
}

bool saveFrameGrid(const QString &path, const QVector<quint16> &frame, QString *error)
{
    const QByteArray grid = frameGridCsv(frame);
    QSaveFile file(path);
    if (grid.isEmpty() || !file.open(QIODevice::WriteOnly) || file.write(grid) != grid.size() ||
        !file.commit()) {
        *error = grid.isEmpty() ? QCoreApplication::translate("Recording", "No frame to save")
                                : QCoreApplication::translate("Recording", "Could not save %1: %2")
                                      .arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace Recording
