#include "trendswindow.h"

#include "briscaregisters.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QPushButton>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <limits>

namespace {

constexpr double ViewSeconds = 10 * 60;
// Ten minutes across the plot move by a pixel or two in a second, so drawing more often shows
// nothing new; every drawing runs on the thread that carries the link, and each one would
// hold up the next request of continuous mode.
constexpr int RedrawMs = 1000;

double celsiusValue(quint16 raw)
{
    // Exact to the hundredth, as the recording writes it.
    return Brisca::celsiusHundredths(raw) / 100.0;
}

struct SeriesLook
{
    const char *name;
    QColor color;
};

const SeriesLook Looks[TrendsWindow::SeriesCount] = {
    {QT_TRANSLATE_NOOP("TrendsWindow", "Application 1 minimum"), QColor(30, 100, 220)},
    {QT_TRANSLATE_NOOP("TrendsWindow", "Application 1 average"), QColor(90, 160, 90)},
    {QT_TRANSLATE_NOOP("TrendsWindow", "Application 1 maximum"), QColor(210, 50, 40)},
    {QT_TRANSLATE_NOOP("TrendsWindow", "Application 2 average"), QColor(200, 130, 0)},
    {QT_TRANSLATE_NOOP("TrendsWindow", "Application 3 highest breach"), QColor(150, 60, 170)},
    {QT_TRANSLATE_NOOP("TrendsWindow", "Application 3 counter"), QColor(90, 90, 90)},
};

} // namespace

TrendsWindow::TrendsWindow(QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    setWindowTitle(tr("Trends"));
    resize(1100, 640);

    m_plot = new QCustomPlot(this);
    m_plot->legend->setVisible(true);
    m_plot->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignLeft);
    QSharedPointer<QCPAxisTickerDateTime> timeTicker(new QCPAxisTickerDateTime);
    timeTicker->setDateTimeFormat(QStringLiteral("HH:mm:ss"));
    m_plot->xAxis->setTicker(timeTicker);
    m_plot->xAxis->setLabel(tr("Time"));
    m_plot->yAxis->setLabel(tr("Temperature (°C)"));
    m_plot->yAxis2->setVisible(true);
    m_plot->yAxis2->setLabel(tr("Application 3 counter"));
    m_plot->yAxis2->setRange(0, 10);

    for (int s = 0; s < SeriesCount; ++s) {
        QCPAxis *valueAxis = s == App3Counter ? m_plot->yAxis2 : m_plot->yAxis;
        QCPGraph *graph = m_plot->addGraph(m_plot->xAxis, valueAxis);
        graph->setName(tr(Looks[s].name));
        graph->setPen(QPen(Looks[s].color, 1.5));
        if (s == App3Counter)
            graph->setLineStyle(QCPGraph::lsStepLeft);
        m_graphs[size_t(s)] = graph;
    }
    // The thresholds of an application show with its series, in their colour: the maximum
    // dashed, the minimum dotted, each named at the right end of its line.
    const Series lineSeries[6] = {App1Maximum, App1Minimum,       App2Average,
                                  App2Average, App3HighestBreach, App3HighestBreach};
    const char *const lineNames[6] = {QT_TR_NOOP("Application 1 maximum threshold"),
                                      QT_TR_NOOP("Application 1 minimum threshold"),
                                      QT_TR_NOOP("Application 2 maximum threshold"),
                                      QT_TR_NOOP("Application 2 minimum threshold"),
                                      QT_TR_NOOP("Application 3 maximum threshold"),
                                      QT_TR_NOOP("Application 3 minimum threshold")};
    for (size_t t = 0; t < m_thresholds.size(); ++t) {
        const QColor color = Looks[lineSeries[t]].color;
        auto *line = new QCPItemStraightLine(m_plot);
        line->setPen(QPen(color, 1, t % 2 == 0 ? Qt::DashLine : Qt::DotLine));
        line->setVisible(false);
        m_thresholds[t] = line;
        auto *label = new QCPItemText(m_plot);
        label->position->setTypeX(QCPItemPosition::ptAxisRectRatio);
        label->position->setTypeY(QCPItemPosition::ptPlotCoords);
        label->setPositionAlignment(Qt::AlignRight | Qt::AlignBottom);
        label->setText(tr(lineNames[t]));
        label->setColor(color);
        label->setVisible(false);
        m_thresholdLabels[t] = label;
    }

    // Time is the axis to explore; the temperature axis fits what is in view.
    m_plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    m_plot->axisRect()->setRangeDrag(Qt::Horizontal);
    m_plot->axisRect()->setRangeZoom(Qt::Horizontal);
    connect(m_plot, &QCustomPlot::mousePress, this, [this] { userMovedTimeAxis(); });
    connect(m_plot, &QCustomPlot::mouseWheel, this, [this] { userMovedTimeAxis(); });
    connect(m_plot->xAxis, QOverload<const QCPRange &>::of(&QCPAxis::rangeChanged), this,
            [this] { fitValueAxes(); });

    // One column per application, so that the switches of an application stay together.
    auto *boxes = new QGridLayout;
    const int cells[SeriesCount][2] = {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {0, 2}, {1, 2}};
    for (int s = 0; s < SeriesCount; ++s) {
        auto *box = new QCheckBox(tr(Looks[s].name), this);
        box->setChecked(true);
        connect(box, &QCheckBox::toggled, this,
                [this, s](bool on) { setSeriesVisible(Series(s), on); });
        m_boxes[size_t(s)] = box;
        boxes->addWidget(box, cells[s][0], cells[s][1]);
    }
    boxes->setColumnStretch(3, 1);
    auto *followButton = new QPushButton(tr("Last 10 minutes"), this);
    followButton->setToolTip(tr("Show the last ten minutes and follow new measurements"));
    connect(followButton, &QPushButton::clicked, this, [this] { setFollowing(true); });
    auto *clearButton = new QPushButton(tr("Clear"), this);
    connect(clearButton, &QPushButton::clicked, this, &TrendsWindow::clear);
    boxes->addWidget(followButton, 0, 4);
    boxes->addWidget(clearButton, 1, 4);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_plot, 1);
    layout->addLayout(boxes);

    const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    m_plot->xAxis->setRange(now - ViewSeconds, now);

    m_redraw.setSingleShot(true);
    m_redraw.setInterval(RedrawMs);
    connect(&m_redraw, &QTimer::timeout, this, [this] {
        if (isVisible())
            m_plot->replot();
    });
}

void TrendsWindow::showEvent(QShowEvent *event)
{
    // Points keep arriving while the window is hidden, without a replot.
    QWidget::showEvent(event);
    m_plot->replot();
}

void TrendsWindow::setMaxPoints(int points)
{
    m_maxPoints = std::max(1, points);
}

void TrendsWindow::setSeriesVisible(Series series, bool visible)
{
    QCPGraph *graph = m_graphs.at(size_t(series));
    graph->setVisible(visible);
    // A hidden series leaves the legend too, so the legend says what is drawn.
    if (visible)
        graph->addToLegend();
    else
        graph->removeFromLegend();
    {
        const QSignalBlocker blocker(m_boxes.at(size_t(series)));
        m_boxes.at(size_t(series))->setChecked(visible);
    }
    updateThresholdVisibility();
    fitValueAxes();
    m_plot->replot();
}

bool TrendsWindow::isSeriesVisible(Series series) const
{
    return m_graphs.at(size_t(series))->visible();
}

void TrendsWindow::setFollowing(bool following)
{
    m_following = following;
    if (following)
        followLatest();
    m_plot->replot();
}

void TrendsWindow::clear()
{
    for (QCPGraph *graph : m_graphs)
        graph->data()->clear();
    m_plot->replot();
}

void TrendsWindow::addSample(const Recording::Sample &sample, bool freshMeasurements)
{
    if (!freshMeasurements)
        return;
    const Recording::Measurements &m = sample.measurements;
    const double key = sample.time.toMSecsSinceEpoch() / 1000.0;
    // No breach is reported as 0; a gap in the line says so better than -273.15 °C would.
    const double breach = m.app3HighestBreachTemp == 0 ? std::numeric_limits<double>::quiet_NaN()
                                                       : celsiusValue(m.app3HighestBreachTemp);
    const double values[SeriesCount] = {celsiusValue(m.app1MinTemp),
                                        celsiusValue(m.app1AvgTemp),
                                        celsiusValue(m.app1MaxTemp),
                                        celsiusValue(m.app2AvgTemp),
                                        breach,
                                        double(m.app3Counter)};
    for (int s = 0; s < SeriesCount; ++s) {
        QSharedPointer<QCPGraphDataContainer> data = m_graphs[size_t(s)]->data();
        data->add(QCPGraphData(key, values[s]));
        // Dropped in batches: removing from the front moves the whole container.
        if (data->size() > m_maxPoints + m_maxPoints / 8) {
            const double firstKept = (data->constEnd() - m_maxPoints)->key;
            data->removeBefore(firstKept);
        }
    }
    m_latestKey = key;
    updateThresholds(m);
    if (m_following)
        followLatest();
    else
        fitValueAxes();
    if (isVisible() && !m_redraw.isActive())
        m_redraw.start();
}

void TrendsWindow::updateThresholds(const Recording::Measurements &m)
{
    // Zero means the settings were never read; no threshold of the sensor is that cold.
    const quint16 raw[6] = {m.app1MaxThreshold, m.app1MinThreshold, m.app2MaxThreshold,
                            m.app2MinThreshold, m.app3MaxThreshold, m.app3MinThreshold};
    m_thresholdsKnown = false;
    for (size_t t = 0; t < m_thresholds.size(); ++t) {
        m_thresholdsKnown = m_thresholdsKnown || raw[t] != 0;
        const double y = celsiusValue(raw[t]);
        m_thresholds[t]->point1->setCoords(0, y);
        m_thresholds[t]->point2->setCoords(1, y);
        m_thresholdLabels[t]->position->setCoords(0.995, y);
    }
    updateThresholdVisibility();
}

void TrendsWindow::updateThresholdVisibility()
{
    const bool app1 = isSeriesVisible(App1Minimum) || isSeriesVisible(App1Average) ||
                      isSeriesVisible(App1Maximum);
    const bool shown[6] = {app1,
                           app1,
                           isSeriesVisible(App2Average),
                           isSeriesVisible(App2Average),
                           isSeriesVisible(App3HighestBreach),
                           isSeriesVisible(App3HighestBreach)};
    for (size_t t = 0; t < m_thresholds.size(); ++t) {
        m_thresholds[t]->setVisible(m_thresholdsKnown && shown[t]);
        m_thresholdLabels[t]->setVisible(m_thresholdsKnown && shown[t]);
    }
}

void TrendsWindow::followLatest()
{
    const double end = m_latestKey > 0 ? m_latestKey : QDateTime::currentMSecsSinceEpoch() / 1000.0;
    m_plot->xAxis->setRange(end - ViewSeconds, end);
    fitValueAxes();
}

void TrendsWindow::fitValueAxes()
{
    const QCPRange time = m_plot->xAxis->range();
    QCPRange temperature, count;
    bool anyTemperature = false, anyCount = false;
    for (int s = 0; s < SeriesCount; ++s) {
        QCPGraph *graph = m_graphs[size_t(s)];
        if (!graph->visible())
            continue;
        bool found = false;
        const QCPRange range = graph->getValueRange(found, QCP::sdBoth, time);
        if (!found)
            continue;
        QCPRange &target = s == App3Counter ? count : temperature;
        bool &any = s == App3Counter ? anyCount : anyTemperature;
        target =
            any ? QCPRange(std::min(target.lower, range.lower), std::max(target.upper, range.upper))
                : range;
        any = true;
    }
    // Thresholds in view are part of what the operator compares against.
    for (QCPItemStraightLine *line : m_thresholds) {
        if (!line->visible())
            continue;
        const double y = line->point1->coords().y();
        temperature = anyTemperature
                          ? QCPRange(std::min(temperature.lower, y), std::max(temperature.upper, y))
                          : QCPRange(y, y);
        anyTemperature = true;
    }
    if (anyTemperature) {
        const double margin = std::max(1.0, temperature.size() * 0.08);
        m_plot->yAxis->setRange(temperature.lower - margin, temperature.upper + margin);
    }
    if (anyCount)
        m_plot->yAxis2->setRange(std::min(0.0, count.lower), std::max(count.upper + 1, 10.0));
}

void TrendsWindow::userMovedTimeAxis()
{
    m_following = false;
}
