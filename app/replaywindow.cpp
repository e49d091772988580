#include "replaywindow.h"

#include "briscaregisters.h"
#include "framepages.h"
#include "image.h"
#include "recordingformat.h"
#include "recordingreader.h"

#include <QComboBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

// A gap longer than this in the recording (the link was down, continuous mode was off) is
// played as this long, so replay does not seem to hang.
constexpr qint64 MaxPauseMs = 5000;

const double Speeds[] = {1, 2, 4, 8, 16, 32};

QString celsius(quint16 raw)
{
    return QString::fromLatin1(Recording::celsiusText(raw)) + QStringLiteral(" °C");
}

QString position(quint16 reg)
{
    return QStringLiteral("(%1,%2)")
        .arg(Brisca::positionFirst(reg))
        .arg(Brisca::positionSecond(reg));
}

QString onOff(bool on)
{
    return on ? ReplayWindow::tr("on") : ReplayWindow::tr("off");
}

} // namespace

ReplayWindow::ReplayWindow(QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    setWindowTitle(tr("Replay"));
    resize(1280, 760);

    m_pages = new QTabWidget(this);
    const QString pageNames[] = {tr("Application 1"), tr("Application 2"), tr("Application 3")};
    for (int page = 0; page < FramePages::PageCount; ++page) {
        auto *plot = new image(m_pages);
        m_plots[size_t(page)] = plot;
        m_pages->addTab(plot, pageNames[page]);
    }

    m_table = new QTableWidget(0, 2, this);
    m_table->setHorizontalHeaderLabels({tr("Measurement"), tr("Value")});
    m_table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->verticalHeader()->hide();
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionMode(QAbstractItemView::NoSelection);

    auto *splitter = new QSplitter(this);
    splitter->addWidget(m_pages);
    splitter->addWidget(m_table);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);

    m_playButton = new QPushButton(tr("Play"), this);
    m_playButton->setCheckable(true);
    m_slider = new QSlider(Qt::Horizontal, this);
    m_slider->setEnabled(false);
    m_speedBox = new QComboBox(this);
    for (double speed : Speeds)
        m_speedBox->addItem(QStringLiteral("%1×").arg(speed), speed);
    m_speedBox->setToolTip(tr("Playback speed, as a multiple of the recorded pace"));
    m_positionLabel = new QLabel(this);
    m_noteLabel = new QLabel(this);
    m_noteLabel->setWordWrap(true);
    m_noteLabel->hide();

    auto *controls = new QHBoxLayout;
    controls->addWidget(m_playButton);
    controls->addWidget(m_slider, 1);
    controls->addWidget(m_speedBox);
    controls->addWidget(m_positionLabel);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_noteLabel);
    layout->addWidget(splitter, 1);
    layout->addLayout(controls);

    m_playTimer.setSingleShot(true);
    connect(&m_playTimer, &QTimer::timeout, this, [this] {
        if (m_current + 1 < m_frames.size())
            showFrame(m_current + 1);
        scheduleNext();
    });
    connect(m_slider, &QSlider::valueChanged, this, [this](int value) {
        if (value != m_current)
            showFrame(value);
    });
    connect(m_playButton, &QPushButton::toggled, this, &ReplayWindow::setPlaying);
    connect(m_speedBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int index) { setSpeed(m_speedBox->itemData(index).toDouble()); });
}

bool ReplayWindow::open(const QString &path)
{
    Recording::Contents contents = Recording::readRecording(path);
    if (!contents.ok()) {
        m_error = contents.error;
        return false;
    }
    setPlaying(false);
    m_frames.clear();
    for (Recording::Sample &row : contents.rows) {
        if (row.isFrame())
            m_frames.append(std::move(row));
    }
    m_notes = contents.notes;
    const int measurementRows = contents.rows.size() - m_frames.size();
    if (m_frames.isEmpty())
        m_notes << tr("The recording holds no frame.");
    m_noteLabel->setText(m_notes.join(QLatin1Char(' ')));
    m_noteLabel->setVisible(!m_notes.isEmpty());
    setWindowTitle(tr("Replay: %1 (%2 frames, %3 measurement rows)")
                       .arg(QFileInfo(path).fileName())
                       .arg(m_frames.size())
                       .arg(measurementRows));

    m_current = -1;
    {
        const QSignalBlocker blocker(m_slider);
        m_slider->setRange(0, std::max(0, m_frames.size() - 1));
        m_slider->setValue(0);
    }
    m_slider->setEnabled(m_frames.size() > 1);
    m_playButton->setEnabled(m_frames.size() > 1);
    if (!m_frames.isEmpty())
        showFrame(0);
    m_error.clear();
    return true;
}

void ReplayWindow::showFrame(int index)
{
    if (index < 0 || index >= m_frames.size())
        return;
    m_current = index;
    const Recording::Sample &sample = m_frames.at(index);
    for (int page = 0; page < FramePages::PageCount; ++page)
        FramePages::showFrame(*m_plots[size_t(page)], page, sample);
    fillTable(sample);
    {
        const QSignalBlocker blocker(m_slider);
        m_slider->setValue(index);
    }
    m_positionLabel->setText(tr("Frame %1 of %2, %3")
                                 .arg(index + 1)
                                 .arg(m_frames.size())
                                 .arg(sample.time.toString(QStringLiteral("HH:mm:ss.zzz"))));
}

void ReplayWindow::setPlaying(bool playing)
{
    if (playing && m_current + 1 >= m_frames.size()) {
        // Play from the end starts over.
        if (m_frames.size() < 2)
            playing = false;
        else
            showFrame(0);
    }
    {
        const QSignalBlocker blocker(m_playButton);
        m_playButton->setChecked(playing);
    }
    m_playButton->setText(playing ? tr("Pause") : tr("Play"));
    if (playing)
        scheduleNext();
    else
        m_playTimer.stop();
}

bool ReplayWindow::isPlaying() const
{
    return m_playButton->isChecked();
}

void ReplayWindow::setSpeed(double factor)
{
    m_speed = factor > 0 ? factor : 1.0;
    if (isPlaying())
        scheduleNext();
}

void ReplayWindow::scheduleNext()
{
    if (!isPlaying())
        return;
    if (m_current + 1 >= m_frames.size()) {
        setPlaying(false);
        return;
    }
    const qint64 gap = m_frames.at(m_current).time.msecsTo(m_frames.at(m_current + 1).time);
    const qint64 pause = std::clamp<qint64>(gap, 0, MaxPauseMs);
    m_playTimer.start(int(double(pause) / m_speed));
}

void ReplayWindow::setRow(int row, const QString &name, const QString &value)
{
    if (m_table->rowCount() <= row)
        m_table->setRowCount(row + 1);
    if (!m_table->item(row, 0)) {
        m_table->setItem(row, 0, new QTableWidgetItem(name));
        m_table->setItem(row, 1, new QTableWidgetItem);
    }
    m_table->item(row, 1)->setText(value);
}

void ReplayWindow::fillTable(const Recording::Sample &sample)
{
    const Recording::Measurements &m = sample.measurements;
    const quint8 roiSide = Brisca::roiSideFromGridCode(m.gridRoiSize);
    int row = 0;
    setRow(row++, tr("Time"), sample.time.toString(Qt::ISODateWithMs));
    setRow(row++, tr("Application 1 minimum"),
           celsius(m.app1MinTemp) + QLatin1Char(' ') + position(m.app1MinPosition));
    setRow(row++, tr("Application 1 maximum"),
           celsius(m.app1MaxTemp) + QLatin1Char(' ') + position(m.app1MaxPosition));
    setRow(row++, tr("Application 1 average"), celsius(m.app1AvgTemp));
    setRow(row++, tr("Application 1 alarm"), onOff(m.app1Alarm));
    setRow(row++, tr("Application 2 average"), celsius(m.app2AvgTemp));
    setRow(row++, tr("Application 2 alarm"), onOff(m.app2Alarm));
    setRow(row++, tr("Application 3 highest breach"),
           m.app3HighestBreachTemp == 0 ? tr("N/A") : celsius(m.app3HighestBreachTemp));
    setRow(row++, tr("Application 3 breach area"),
           QStringLiteral("A") + QString::number(m.app3HighestBreachArea));
    setRow(row++, tr("Application 3 counter"), QString::number(m.app3Counter));
    setRow(row++, tr("Application 3 alarm"), onOff(m.app3Alarm));
    setRow(row++, tr("Application 1 thresholds"),
           celsius(m.app1MinThreshold) + QStringLiteral(" to ") + celsius(m.app1MaxThreshold));
    setRow(row++, tr("Application 1 limited field of view"), onOff(m.app1LimitFov));
    setRow(row++, tr("Application 2 thresholds"),
           celsius(m.app2MinThreshold) + QStringLiteral(" to ") + celsius(m.app2MaxThreshold));
    setRow(row++, tr("Application 2 centred area"), QStringLiteral("%1 x %1").arg(m.reticleSize));
    setRow(row++, tr("Application 3 thresholds"),
           celsius(m.app3MinThreshold) + QStringLiteral(" to ") + celsius(m.app3MaxThreshold));
    setRow(row++, tr("Application 3 region size"),
           roiSide == 0 ? tr("code %1").arg(m.gridRoiSize)
                        : QStringLiteral("%1 x %1").arg(roiSide));
    setRow(row++, tr("Region temperatures"), QString::number(sample.roiTemperatures.size()));
}
