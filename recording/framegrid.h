#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

namespace Recording {

// A frame as the picture shows it, for a spreadsheet: 32 lines of 32 temperatures in °C with
// two decimals, top row first and left column first. The picture puts frame element i in
// column i / 32 and in row i % 32 counted upward from the bottom, so the first line holds the
// elements 31, 63, ..., 1023 and the last line 0, 32, ..., 992. Empty for a frame that does
// not have 1024 values.
QByteArray frameGridCsv(const QVector<quint16> &frame);

// Writes the grid of `frame` to `path` in one piece (nothing is left behind on failure).
bool saveFrameGrid(const QString &path, const QVector<quint16> &frame, QString *error);

} // namespace Recording
