#include "watchcommand.h"

#include "briscadevice.h"
#include "recordingformat.h"

#include <QCommandLineParser>
#include <QTimer>

#include <cerrno>

namespace BriscaCli {

namespace {

const QString CountOption = QStringLiteral("count");
const QString FramesOption = QStringLiteral("frames");
const QString IntervalOption = QStringLiteral("interval");

// The first `columns` cells of a recording line, with its line end.
QByteArray leadingColumns(const QByteArray &line, int columns)
{
    int comma = -1;
    for (int i = 0; i < columns; ++i) {
        comma = line.indexOf(',', comma + 1);
        if (comma < 0)
            return line;
    }
    return line.left(comma) + '\n';
}

} // namespace

WatchCommand::WatchCommand(QObject *parent)
    : SensorCommand(parent)
{
    connect(&m_sampler, &DeviceSampler::sampled, this, &WatchCommand::sampled);
}

QList<QCommandLineOption> WatchCommand::options() const
{
    return ConnectionOptions::options() +
           QList<QCommandLineOption>{
               QCommandLineOption(CountOption,
                                  tr("Stop after N lines (default: run until Ctrl+C)."),
                                  QStringLiteral("N")),
               QCommandLineOption(
                   FramesOption,
                   tr("Read whole images and add the pixels and region temperatures to "
                      "each line, as in a recording.")),
               QCommandLineOption(
                   IntervalOption,
                   tr("Start a reading at most every MS milliseconds (default 0: the "
                      "next one as soon as the last has arrived)."),
                   QStringLiteral("MS"), QStringLiteral("0")),
           };
}

int WatchCommand::configure(const QCommandLineParser &parser, QString *error)
{
    if (!configureConnection(parser, error))
        return ExitUsage;
    if (parser.isSet(CountOption) &&
        !parseNumber(CountOption, parser.value(CountOption), 1, 1000000000, &m_count, error))
        return ExitUsage;
    if (!parseNumber(IntervalOption, parser.value(IntervalOption), 0, 86400000, &m_intervalMs,
                     error))
        return ExitUsage;
    m_frames = parser.isSet(FramesOption);
    return ExitSuccess;
}

void WatchCommand::interrupt()
{
    // Without a count, stopping is how a watch ends.
    end(m_count == 0 ? ExitSuccess : ExitInterrupted);
}

void WatchCommand::sensorReady()
{
    const QByteArray header = Recording::header();
    m_columns = m_frames ? Recording::columnCount()
                         : header.split(',').indexOf(QByteArrayLiteral("pixel_0"));
    if (!print(leadingColumns(header, m_columns)))
        return;
    m_sampler.setDevice(device());
    nextReading();
}

void WatchCommand::nextReading()
{
    if (isFinished())
        return;
    m_sinceReading.start();
    if (m_frames)
        device()->requestImage();
    else
        device()->updateMeasurements();
}

void WatchCommand::sampled(const Recording::Sample &sample)
{
    if (isFinished() || sample.isFrame() != m_frames)
        return;
    if (!print(leadingColumns(Recording::formatRow(sample), m_columns)))
        return;
    if (m_count > 0 && ++m_printed >= m_count) {
        end(ExitSuccess);
        return;
    }
    // A set of measurements is complete at its first region answer, while the other region
    // reads are still queued; the next reading queues up behind them.
    const qint64 wait = m_intervalMs - m_sinceReading.elapsed();
    if (wait > 0)
        QTimer::singleShot(int(wait), this, &WatchCommand::nextReading);
    else
        nextReading();
}

bool WatchCommand::print(const QByteArray &line)
{
    if (printOut(line))
        return true;
    // The reader went away (`brisca watch | head`): that stops the watch like Ctrl+C.
    if (errno == EPIPE)
        interrupt();
    else
        endWithError(ExitOutput,
                     tr("cannot write to standard output: %1").arg(qt_error_string(errno)));
    return false;
}

} // namespace BriscaCli
