#pragma once

#include "devicesampler.h"
#include "sensorcommand.h"

#include <QByteArray>
#include <QElapsedTimer>

namespace BriscaCli {

// `brisca watch`: the measurements as CSV lines on standard output, from the columns of a
// recording up to the pixels, until Ctrl+C or a number of lines. With --frames each line is
// a whole frame row, pixels and region temperatures included, so that what it prints is a
// recording. The header comes once, and every line goes out as soon as it is complete.
class WatchCommand : public SensorCommand
{
    Q_OBJECT
public:
    explicit WatchCommand(QObject *parent = nullptr);

    QList<QCommandLineOption> options() const override;
    int configure(const QCommandLineParser &parser, QString *error) override;
    void interrupt() override;

protected:
    void sensorReady() override;

private:
    void sampled(const Recording::Sample &sample);
    void nextReading();
    bool print(const QByteArray &line);

    int m_count = 0; // 0: until stopped
    int m_intervalMs = 0;
    bool m_frames = false;
    int m_columns = 0; // of each line
    int m_printed = 0;
    QElapsedTimer m_sinceReading;
    DeviceSampler m_sampler;
};

} // namespace BriscaCli
