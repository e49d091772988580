#include "grabcommand.h"

#include "briscadevice.h"
#include "framepages.h"
#include "image.h"
#include "imageexport.h"

#include <QCommandLineParser>
#include <QImageWriter>

namespace BriscaCli {

namespace {

const QString OutputOption = QStringLiteral("output");
const QString FramesOption = QStringLiteral("frames");
const QString AppOption = QStringLiteral("app");

// The plot as the main window shows it at its smallest, and the window's export scale.
constexpr QSize PlotSize(650, 490);
constexpr double PictureScale = 2.0;

bool isPictureName(const QString &path)
{
    return path.endsWith(QLatin1String(".png"), Qt::CaseInsensitive);
}

} // namespace

GrabCommand::GrabCommand(QObject *parent)
    : SensorCommand(parent)
{
    connect(&m_sampler, &DeviceSampler::sampled, this, &GrabCommand::sampled);
    connect(&m_recorder, &Recorder::failed, this,
            [this](const QString &message) { endWithError(ExitOutput, message); });
}

QList<QCommandLineOption> GrabCommand::options() const
{
    return grabOptions();
}

QList<QCommandLineOption> GrabCommand::grabOptions()
{
    return ConnectionOptions::options() +
           QList<QCommandLineOption>{
               QCommandLineOption(
                   OutputOption,
                   tr("File to write: a recording (CSV) of the frames or, for a name "
                      "ending in .png, a picture of the frame."),
                   QStringLiteral("FILE")),
               QCommandLineOption(FramesOption,
                                  tr("Number of frames to grab (default 1; a picture holds one)."),
                                  QStringLiteral("N"), QStringLiteral("1")),
               QCommandLineOption(AppOption,
                                  tr("For a picture: draw the overlay of Application 1, 2 or 3 "
                                     "(default 1)."),
                                  QStringLiteral("N"), QStringLiteral("1")),
           };
}

bool GrabCommand::drawsPicture(const QStringList &arguments)
{
    if (arguments.value(1) != QLatin1String("grab"))
        return false;
    QCommandLineParser parser;
    parser.addOptions(grabOptions());
    parser.addHelpOption();
    return parser.parse(arguments.mid(1)) && isPictureName(parser.value(OutputOption));
}

int GrabCommand::configure(const QCommandLineParser &parser, QString *error)
{
    if (!configureConnection(parser, error))
        return ExitUsage;
    m_path = parser.value(OutputOption);
    if (m_path.isEmpty()) {
        *error = tr("--output is required");
        return ExitUsage;
    }
    m_picture = isPictureName(m_path);
    if (!parseNumber(FramesOption, parser.value(FramesOption), 1, 1000000, &m_frames, error))
        return ExitUsage;
    int app = 1;
    if (!parseNumber(AppOption, parser.value(AppOption), 1, 3, &app, error))
        return ExitUsage;
    m_page = app - 1;
    if (m_picture && m_frames != 1) {
        *error = tr("--frames %1: a picture holds one frame").arg(m_frames);
        return ExitUsage;
    }
    if (!m_picture && parser.isSet(AppOption)) {
        *error = tr("--app is for pictures; a recording holds what every application needs");
        return ExitUsage;
    }
    return ExitSuccess;
}

void GrabCommand::sensorReady()
{
    if (m_picture) {
        m_pictureFile.setFileName(m_path);
        if (!m_pictureFile.open(QIODevice::WriteOnly)) {
            endWithError(ExitOutput,
                         tr("cannot write %1: %2").arg(m_path, m_pictureFile.errorString()));
            return;
        }
    } else if (!m_recorder.start(m_path)) {
        endWithError(ExitOutput, m_recorder.errorString());
        return;
    }
    m_sampler.setDevice(device());
    device()->requestImage();
}

void GrabCommand::sampled(const Recording::Sample &sample)
{
    if (isFinished() || !sample.isFrame())
        return;
    if (m_picture) {
        savePicture(sample);
        return;
    }
    m_recorder.writeSample(sample);
    if (isFinished())
        return;
    if (++m_written == m_frames) {
        m_recorder.stop();
        end(ExitSuccess);
        return;
    }
    // Asked for as the window's continuous mode asks: once the frame before has arrived.
    device()->requestImage();
}

void GrabCommand::savePicture(const Recording::Sample &sample)
{
    image plot;
    plot.resize(PlotSize);
    FramePages::showFrame(plot, m_page, sample);
    QImageWriter writer(&m_pictureFile, "png");
    if (!writer.write(ImageExport::render(plot, PictureScale)) || !m_pictureFile.commit()) {
        const QString why = m_pictureFile.error() != QFileDevice::NoError
                                ? m_pictureFile.errorString()
                                : writer.errorString();
        endWithError(ExitOutput, tr("cannot write %1: %2").arg(m_path, why));
        return;
    }
    ++m_written;
    end(ExitSuccess);
}

QString GrabCommand::failureNote() const
{
    if (!m_recorder.isRecording())
        return {};
    return tr("; %1 of %2 frames written to %3").arg(m_written).arg(m_frames).arg(m_path);
}

} // namespace BriscaCli
