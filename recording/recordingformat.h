#pragma once

#include "sample.h"

#include <QByteArray>
#include <QString>

// The recording file: CSV, one header line naming every column, then one line per row.
// docs/recording.md describes it for the people who open it in a spreadsheet.
//
// Every temperature is written in degrees Celsius with two decimals, computed from the raw
// count in integers, so that the text gives back the raw value exactly.
namespace Recording {

// "-273.15" to "6280.35"; a '-' only below zero, so raw 2731 is "-0.05".
void appendCelsius(QByteArray &out, quint16 raw);
QByteArray celsiusText(quint16 raw);
// Takes what appendCelsius() writes and nothing else: an optional '-', one to four digits,
// '.', two digits, and a value that is a whole number of tenths of a kelvin from 0 to 65535.
bool parseCelsius(const char *begin, const char *end, quint16 *raw);

// ISO 8601 with milliseconds and the offset from UTC: "2025-03-01T14:05:09.042+01:00".
QByteArray timeText(const QDateTime &time);

int columnCount();
// Both end in '\n'.
QByteArray header();
QByteArray formatRow(const Sample &sample);

// Reads one row, given without its line end. On failure returns false and says which column
// is wrong and why; the caller adds the line.
bool parseRow(const QByteArray &line, Sample *sample, QString *error);

} // namespace Recording
