#pragma once

#include "sample.h"

#include <QTimer>
#include <QWidget>

#include <array>

class QCPGraph;
class QCPItemStraightLine;
class QCPItemText;
class QCheckBox;
class QCustomPlot;

// The measurements over time as they arrive: Application 1 minimum, average and maximum,
// Application 2 average and Application 3 highest breach in °C on the left axis, Application
// 3's counter on the right, with the thresholds read from the sensor as dashed lines.
//
// It shows the last ten minutes and follows new points until the mouse zooms or pans the
// time axis; "Last 10 minutes" goes back to following. Each series keeps a bounded number
// of points and drops the oldest beyond it.
class TrendsWindow : public QWidget
{
    Q_OBJECT
public:
    enum Series
    {
        App1Minimum,
        App1Average,
        App1Maximum,
        App2Average,
        App3HighestBreach,
        App3Counter,
        SeriesCount
    };

    explicit TrendsWindow(QWidget *parent = nullptr);

    void setMaxPoints(int points);
    int maxPoints() const { return m_maxPoints; }
    void setSeriesVisible(Series series, bool visible);
    bool isSeriesVisible(Series series) const;
    // Follows new points with the last ten minutes in view.
    void setFollowing(bool following);
    bool isFollowing() const { return m_following; }
    void clear();

    QCustomPlot *plot() const { return m_plot; }
    QCPGraph *graph(Series series) const { return m_graphs.at(size_t(series)); }

public slots:
    // Adds a point to every series for a sample whose measurements are new; a frame whose
    // measurements were already sampled adds nothing.
    void addSample(const Recording::Sample &sample, bool freshMeasurements);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void updateThresholds(const Recording::Measurements &m);
    void updateThresholdVisibility();
    void followLatest();
    void fitValueAxes();
    void userMovedTimeAxis();

    QCustomPlot *m_plot = nullptr;
    std::array<QCPGraph *, SeriesCount> m_graphs{};
    std::array<QCheckBox *, SeriesCount> m_boxes{};
    // Maximum and minimum line of each application.
    std::array<QCPItemStraightLine *, 6> m_thresholds{};
    std::array<QCPItemText *, 6> m_thresholdLabels{};
    // Draws what arrived since the last drawing; see addSample().
    QTimer m_redraw;
    int m_maxPoints = 20000;
    double m_latestKey = 0;
    bool m_following = true;
    bool m_thresholdsKnown = false;
};
