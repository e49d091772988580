#include "recordingformat.h"
#include "translation_p.h"

#include "briscaregisters.h"

#include <QCoreApplication>

#include <cstdlib>
#include <type_traits>

namespace Recording {

namespace {

constexpr char FrameKind[] = "frame";
constexpr char MeasurementsKind[] = "measurements";

enum class ValueType
{
    Temperature,
    // 0 means "no breach" on screen; written as an empty cell rather than -273.15.
    OptionalTemperature,
    Word,
    Byte,
    Flag,
    // The two bytes of a position register, low byte first as the window shows them.
    PositionLow,
    PositionHigh,
};

struct FieldColumn
{
    const char *name;
    ValueType type;
    quint16 (*get)(const Measurements &);
    void (*set)(Measurements &, quint16);
};

template <auto Member> quint16 getField(const Measurements &m)
{
    return quint16(m.*Member);
}

template <auto Member> void setField(Measurements &m, quint16 value)
{
    using Field = std::remove_reference_t<decltype(m.*Member)>;
    m.*Member = Field(value);
}

template <auto Member> constexpr FieldColumn column(const char *name, ValueType type)
{
    return {name, type, &getField<Member>, &setField<Member>};
}

using M = Measurements;
const FieldColumn fieldColumns[] = {
    column<&M::app1MinTemp>("app1_min_temp", ValueType::Temperature),
    column<&M::app1MinPosition>("app1_min_position_low", ValueType::PositionLow),
    column<&M::app1MinPosition>("app1_min_position_high", ValueType::PositionHigh),
    column<&M::app1MaxTemp>("app1_max_temp", ValueType::Temperature),
    column<&M::app1MaxPosition>("app1_max_position_low", ValueType::PositionLow),
    column<&M::app1MaxPosition>("app1_max_position_high", ValueType::PositionHigh),
    column<&M::app1AvgTemp>("app1_avg_temp", ValueType::Temperature),
    column<&M::app1Alarm>("app1_alarm", ValueType::Flag),
    column<&M::app2AvgTemp>("app2_avg_temp", ValueType::Temperature),
    column<&M::app2Alarm>("app2_alarm", ValueType::Flag),
    column<&M::app3HighestBreachTemp>("app3_highest_breach_temp", ValueType::OptionalTemperature),
    column<&M::app3HighestBreachArea>("app3_highest_breach_area", ValueType::Word),
    column<&M::app3Counter>("app3_counter", ValueType::Word),
    column<&M::app3Alarm>("app3_alarm", ValueType::Flag),
    column<&M::app1LimitFov>("app1_limit_fov", ValueType::Flag),
    column<&M::app1MaxThreshold>("app1_max_threshold", ValueType::Temperature),
    column<&M::app1MinThreshold>("app1_min_threshold", ValueType::Temperature),
    column<&M::reticleSize>("app2_area_size", ValueType::Byte),
    column<&M::app2MaxThreshold>("app2_max_threshold", ValueType::Temperature),
    column<&M::app2MinThreshold>("app2_min_threshold", ValueType::Temperature),
    column<&M::gridRoiSize>("app3_grid_roi_size", ValueType::Byte),
    column<&M::app3MaxThreshold>("app3_max_threshold", ValueType::Temperature),
    column<&M::app3MinThreshold>("app3_min_threshold", ValueType::Temperature),
};
constexpr int FieldCount = int(sizeof(fieldColumns) / sizeof(fieldColumns[0]));
constexpr int FirstFieldColumn = 2; // after time and kind
constexpr int FirstPixelColumn = FirstFieldColumn + FieldCount;
constexpr int FirstRegionColumn = FirstPixelColumn + Brisca::FramePixelCount;
constexpr int ColumnCount = FirstRegionColumn + Brisca::RoiTemperatureCount;

void appendNumber(QByteArray &out, unsigned value)
{
    char digits[10];
    int n = 0;
    do {
        digits[n++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        out.append(digits[--n]);
}

// Whole decimal number without sign; false when empty, not digits or above `max`.
bool parseNumber(const char *begin, const char *end, unsigned max, unsigned *value)
{
    if (begin == end || end - begin > 5)
        return false;
    unsigned v = 0;
    for (const char *p = begin; p != end; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + unsigned(*p - '0');
    }
    if (v > max)
        return false;
    *value = v;
    return true;
}

QString columnName(int column)
{
    if (column == 0)
        return QStringLiteral("time");
    if (column == 1)
        return QStringLiteral("kind");
    if (column < FirstPixelColumn)
        return QLatin1String(fieldColumns[column - FirstFieldColumn].name);
    if (column < FirstRegionColumn)
        return QStringLiteral("pixel_") + QString::number(column - FirstPixelColumn);
    return QStringLiteral("region_") + QString::number(column - FirstRegionColumn + 1);
}

QString badValue(int column, const char *begin, const char *end, const QString &why)
{
    return tr("column %1: \"%2\" %3")
        .arg(columnName(column), QString::fromUtf8(begin, int(end - begin)), why);
}

} // namespace

void appendCelsius(QByteArray &out, quint16 raw)
{
    const int hundredths = Brisca::celsiusHundredths(raw);
    if (hundredths < 0)
        out.append('-');
    const unsigned magnitude = unsigned(std::abs(hundredths));
    appendNumber(out, magnitude / 100);
    out.append('.');
    out.append(char('0' + magnitude / 10 % 10));
    out.append(char('0' + magnitude % 10));
}

QByteArray celsiusText(quint16 raw)
{
    QByteArray out;
    appendCelsius(out, raw);
    return out;
}

bool parseCelsius(const char *begin, const char *end, quint16 *raw)
{
    const bool negative = begin != end && *begin == '-';
    if (negative)
        ++begin;
    // Two decimals behind the point and at least one digit before it.
    if (end - begin < 4 || end[-3] != '.')
        return false;
    unsigned whole = 0, fraction = 0;
    if (!parseNumber(begin, end - 3, 9999, &whole) || !parseNumber(end - 2, end, 99, &fraction))
        return false;
    const int hundredths = int(whole * 100 + fraction) * (negative ? -1 : 1);
    const int tenthsOfKelvin10 = hundredths + 27315;
    if (tenthsOfKelvin10 < 0 || tenthsOfKelvin10 % 10 != 0 || tenthsOfKelvin10 / 10 > 0xFFFF)
        return false;
    *raw = quint16(tenthsOfKelvin10 / 10);
    return true;
}

QByteArray timeText(const QDateTime &time)
{
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs).toLatin1();
}

int columnCount()
{
    return ColumnCount;
}

QByteArray header()
{
    QByteArray out;
    for (int c = 0; c < ColumnCount; ++c) {
        if (c > 0)
            out.append(',');
        out.append(columnName(c).toLatin1());
    }
    out.append('\n');
    return out;
}

QByteArray formatRow(const Sample &sample)
{
    QByteArray out;
    out.reserve(16 * 1024);
    out.append(timeText(sample.time));
    out.append(',');
    out.append(sample.isFrame() ? FrameKind : MeasurementsKind);
    for (const FieldColumn &column : fieldColumns) {
        out.append(',');
        const quint16 value = column.get(sample.measurements);
        switch (column.type) {
        case ValueType::Temperature:
            appendCelsius(out, value);
            break;
        case ValueType::OptionalTemperature:
            if (value != 0)
                appendCelsius(out, value);
            break;
        case ValueType::Word:
        case ValueType::Byte:
        case ValueType::Flag:
            appendNumber(out, value);
            break;
        case ValueType::PositionLow:
            appendNumber(out, Brisca::positionFirst(value));
            break;
        case ValueType::PositionHigh:
            appendNumber(out, Brisca::positionSecond(value));
            break;
        }
    }
    // A measurement row leaves the frame and region columns empty.
    const bool frame = sample.isFrame() && sample.frame.size() == Brisca::FramePixelCount;
    for (int i = 0; i < Brisca::FramePixelCount; ++i) {
        out.append(',');
        if (frame)
            appendCelsius(out, sample.frame.at(i));
    }
    for (int k = 0; k < Brisca::RoiTemperatureCount; ++k) {
        out.append(',');
        if (frame && k < sample.roiTemperatures.size())
            appendCelsius(out, sample.roiTemperatures.at(k));
    }
    out.append('\n');
    return out;
}

bool parseRow(const QByteArray &line, Sample *sample, QString *error)
{
    const char *const data = line.constData();
    const char *const lineEnd = data + line.size();
    int columns = 1;
    for (const char *p = data; p != lineEnd; ++p)
        columns += *p == ',';
    if (columns != ColumnCount) {
        *error = tr("%1 columns where a recording has %2").arg(columns).arg(ColumnCount);
        return false;
    }

    Sample s;
    const char *begin = data;
    auto next = [&](const char **fieldEnd) {
        const char *p = begin;
        while (p != lineEnd && *p != ',')
            ++p;
        *fieldEnd = p;
    };

    const char *end = nullptr;
    next(&end);
    s.time = QDateTime::fromString(QString::fromLatin1(begin, int(end - begin)), Qt::ISODateWithMs);
    if (!s.time.isValid()) {
        *error = badValue(0, begin, end, tr("is no ISO 8601 time"));
        return false;
    }
    begin = end + 1;

    next(&end);
    const QByteArray kind(begin, int(end - begin));
    if (kind == FrameKind) {
        s.kind = Sample::Kind::Frame;
    } else if (kind == MeasurementsKind) {
        s.kind = Sample::Kind::Measurements;
    } else {
        *error = badValue(1, begin, end, tr("is neither \"frame\" nor \"measurements\""));
        return false;
    }
    begin = end + 1;

    for (int f = 0; f < FieldCount; ++f) {
        const FieldColumn &column = fieldColumns[f];
        next(&end);
        const int columnIndex = FirstFieldColumn + f;
        quint16 raw = 0;
        unsigned number = 0;
        bool ok = true;
        QString why = tr("is out of range");
        switch (column.type) {
        case ValueType::OptionalTemperature:
            if (begin == end)
                break;
            Q_FALLTHROUGH();
        case ValueType::Temperature:
            ok = parseCelsius(begin, end, &raw);
            why = tr("is no temperature the sensor can send (°C with two decimals)");
            break;
        case ValueType::Word:
            ok = parseNumber(begin, end, 0xFFFF, &number);
            why = tr("is out of range (0 to 65535)");
            raw = quint16(number);
            break;
        case ValueType::Byte:
        case ValueType::PositionLow:
        case ValueType::PositionHigh:
            ok = parseNumber(begin, end, 0xFF, &number);
            why = tr("is out of range (0 to 255)");
            raw = quint16(number);
            break;
        case ValueType::Flag:
            ok = parseNumber(begin, end, 1, &number);
            why = tr("is neither 0 nor 1");
            raw = quint16(number);
            break;
        }
        if (!ok) {
            *error = badValue(columnIndex, begin, end, why);
            return false;
        }
        if (column.type == ValueType::PositionLow)
            raw = quint16((column.get(s.measurements) & 0xFF00) | raw);
        else if (column.type == ValueType::PositionHigh)
            raw = quint16((column.get(s.measurements) & 0x00FF) | (raw << 8));
        column.set(s.measurements, raw);
        begin = end + 1;
    }

    if (s.isFrame())
        s.frame.resize(Brisca::FramePixelCount);
    for (int i = 0; i < Brisca::FramePixelCount; ++i) {
        next(&end);
        const int columnIndex = FirstPixelColumn + i;
        if (!s.isFrame()) {
            if (begin != end) {
                *error = badValue(columnIndex, begin, end, tr("is a pixel in a measurement row"));
                return false;
            }
        } else if (!parseCelsius(begin, end, &s.frame[i])) {
            *error = badValue(columnIndex, begin, end,
                              tr("is no temperature the sensor can send (°C with two decimals)"));
            return false;
        }
        begin = end + 1;
    }

    // The region temperatures are a list: values from the first column on, then empty cells.
    for (int k = 0; k < Brisca::RoiTemperatureCount; ++k) {
        next(&end);
        const int columnIndex = FirstRegionColumn + k;
        if (begin != end) {
            quint16 raw = 0;
            if (!s.isFrame()) {
                *error = badValue(columnIndex, begin, end,
                                  tr("is a region temperature in a measurement row"));
                return false;
            }
            if (s.roiTemperatures.size() != k) {
                *error = badValue(columnIndex, begin, end, tr("follows an empty region column"));
                return false;
            }
            if (!parseCelsius(begin, end, &raw)) {
                *error =
                    badValue(columnIndex, begin, end,
                             tr("is no temperature the sensor can send (°C with two decimals)"));
                return false;
            }
            s.roiTemperatures.append(raw);
        }
        begin = end + 1;
    }

    *sample = s;
    return true;
}

} // namespace Recording
