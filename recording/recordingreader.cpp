#include "recordingreader.h"
#include "translation_p.h"

#include "recordingformat.h"

#include <QCoreApplication>
#include <QFile>

namespace Recording {

namespace {

// A row of a recording is about 10 KiB; a line far longer is not one, and reading it whole
// would only cost memory.
constexpr qint64 MaxLineLength = 64 * 1024;

void chopLineEnd(QByteArray &line)
{
    line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
}

} // namespace

Contents readRecording(const QString &path)
{
    Contents contents;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        contents.error = tr("Could not open %1: %2").arg(path, file.errorString());
        return contents;
    }

    auto failAt = [&contents](qint64 line, const QString &what) {
        contents.error = tr("Line %1: %2").arg(line).arg(what);
        contents.rows.clear();
        return contents;
    };

    QByteArray expectedHeader = header();
    chopLineEnd(expectedHeader);
    qint64 lineNumber = 0;
    while (!file.atEnd()) {
        QByteArray line = file.readLine(MaxLineLength);
        ++lineNumber;
        const bool whole = line.endsWith('\n');
        // A line without its end that is not the last one was cut by the length limit.
        if (!whole && !file.atEnd())
            return failAt(lineNumber, tr("longer than any row of a recording"));
        if (whole)
            chopLineEnd(line);

        if (lineNumber == 1) {
            if (line != expectedHeader)
                return failAt(1, tr("this is not a recording: the first line does not name the "
                                    "columns of one"));
            continue;
        }
        if (!whole) {
            // Only the last line can lack its line end: the recording stopped in the middle
            // of writing it. Its last value may be cut short, so none of it is trusted.
            contents.notes
                << tr("Line %1 was cut off while it was written and is skipped.").arg(lineNumber);
            break;
        }
        Sample sample;
        QString error;
        if (!parseRow(line, &sample, &error))
            return failAt(lineNumber, error);
        contents.rows.append(sample);
    }
    if (file.error() != QFileDevice::NoError)
        return failAt(lineNumber + 1, file.errorString());
    if (lineNumber == 0)
        return failAt(1, tr("the file is empty, not a recording"));
    return contents;
}

} // namespace Recording
