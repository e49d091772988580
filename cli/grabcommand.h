#pragma once

#include "devicesampler.h"
#include "recorder.h"
#include "sensorcommand.h"

#include <QSaveFile>

namespace BriscaCli {

// `brisca grab`: frames into a recording file, in the window's recording format, or one
// frame as a picture like the window's "Save image…" when the name ends in .png.
//
// The file is opened only once the sensor has been validated, so a grab that finds no
// sensor leaves an existing file as it was. A recording is written row by row: a grab cut
// short keeps the frames that arrived, and says how many. A picture is written whole or not
// at all.
class GrabCommand : public SensorCommand
{
    Q_OBJECT
public:
    explicit GrabCommand(QObject *parent = nullptr);

    QList<QCommandLineOption> options() const override;
    int configure(const QCommandLineParser &parser, QString *error) override;

    static QList<QCommandLineOption> grabOptions();
    // Whether `arguments` (program name first) ask for a picture. Drawing one needs a GUI
    // application, which has to exist before the command line is parsed in earnest.
    static bool drawsPicture(const QStringList &arguments);

protected:
    void sensorReady() override;
    QString failureNote() const override;

private:
    void sampled(const Recording::Sample &sample);
    void savePicture(const Recording::Sample &sample);

    QString m_path;
    int m_frames = 1;
    int m_page = 0;
    bool m_picture = false;
    int m_written = 0;
    DeviceSampler m_sampler;
    Recorder m_recorder;
    QSaveFile m_pictureFile;
};

} // namespace BriscaCli
