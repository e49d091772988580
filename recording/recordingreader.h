#pragma once

#include "sample.h"

#include <QString>
#include <QStringList>
#include <QVector>

namespace Recording {

struct Contents
{
    QVector<Sample> rows;
    // Things the reader worked around, such as a last row cut off while it was written.
    QStringList notes;
    // Why the file cannot be shown, naming the line; empty when it was read.
    QString error;

    bool ok() const { return error.isEmpty(); }
};

// Reads a recording written by Recorder. Never throws and never trusts the file: a file that
// is no recording, a row with the wrong number of columns and a value out of range all give
// an error naming the line and no rows; an unfinished last line is skipped with a note.
Contents readRecording(const QString &path);

} // namespace Recording
