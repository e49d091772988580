#include "linkstatisticswidget.h"
#include "ui_mainwindow.h"

#include "briscadevice.h"
#include "linkstatisticsdialog.h"
#include "mainwindow.h"

namespace {
// Often enough to follow, rarely enough to cost nothing.
constexpr int RefreshMs = 250;
// The rate is taken over this many frames: a few seconds at the slow rates.
constexpr int RateFrames = 8;
} // namespace

LinkStatisticsWidget::LinkStatisticsWidget(MainWindow *window, Ui::MainWindow *ui)
    : QToolButton(ui->statusbar)
    , m_ui(ui)
    , m_action(new QAction(tr("Link &statistics"), window))
{
    setObjectName(QStringLiteral("linkStatistics"));
    setAutoRaise(true);
    setToolButtonStyle(Qt::ToolButtonTextOnly);
    setToolTip(tr("Requests sent on the link, and how many of them got no usable answer "
                  "(timeouts, damaged or stray answers, other errors). Click for every "
                  "counter."));
    ui->statusbar->addPermanentWidget(this);
    hide();

    m_action->setObjectName(QStringLiteral("actionLink_statistics"));
    ui->menuTools->addAction(m_action);
    connect(m_action, &QAction::triggered, this, &LinkStatisticsWidget::openDialog);
    connect(this, &QToolButton::clicked, this, &LinkStatisticsWidget::openDialog);

    m_refresh.setSingleShot(true);
    m_refresh.setInterval(RefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &LinkStatisticsWidget::refresh);
    m_clock.start();
    for (QPushButton *cycle :
         {ui->pushButton_cycleMode, ui->pushButton_cycleMode1, ui->pushButton_cycleMode3})
        connect(cycle, &QPushButton::toggled, this, &LinkStatisticsWidget::continuousModeToggled);
    connect(window, &MainWindow::deviceChanged, this, &LinkStatisticsWidget::setDevice);
}

void LinkStatisticsWidget::setDevice(BriscaDevice *device)
{
    if (m_device)
        m_device->disconnect(this);
    m_device = device;
    m_frameTimes.clear();
    if (device) {
        connect(device, &BriscaDevice::statisticsChanged, this, [this] {
            if (!m_refresh.isActive())
                m_refresh.start();
        });
        connect(device, &BriscaDevice::pixelDataReady, this, &LinkStatisticsWidget::frameArrived);
    }
    if (m_dialog)
        m_dialog->setDevice(device);
    refresh();
}

void LinkStatisticsWidget::openDialog()
{
    if (!m_dialog) {
        m_dialog = new LinkStatisticsDialog(window());
        m_dialog->setAttribute(Qt::WA_DeleteOnClose);
        m_dialog->setDevice(m_device);
    }
    m_dialog->show();
    m_dialog->raise();
    m_dialog->activateWindow();
}

bool LinkStatisticsWidget::continuousMode() const
{
    return m_ui->pushButton_cycleMode->isChecked() || m_ui->pushButton_cycleMode1->isChecked() ||
           m_ui->pushButton_cycleMode3->isChecked();
}

void LinkStatisticsWidget::continuousModeToggled()
{
    // A rate that spans a pause says nothing about the mode that runs now.
    m_frameTimes.clear();
    refresh();
}

void LinkStatisticsWidget::frameArrived()
{
    if (!continuousMode())
        return;
    m_frameTimes.append(m_clock.elapsed());
    if (m_frameTimes.size() > RateFrames)
        m_frameTimes.removeFirst();
    if (!m_refresh.isActive())
        m_refresh.start();
}

double LinkStatisticsWidget::framesPerSecond() const
{
    if (!continuousMode() || m_frameTimes.size() < 2)
        return -1;
    const qint64 span = m_frameTimes.last() - m_frameTimes.first();
    return span > 0 ? (m_frameTimes.size() - 1) * 1000.0 / double(span) : -1;
}

void LinkStatisticsWidget::refresh()
{
    m_refresh.stop();
    if (!m_device) {
        hide();
        return;
    }
    const LinkStatistics &s = m_device->statistics();
    QString text = tr("%1 requests, %2 errors")
                       .arg(s.requests)
                       .arg(s.timeouts + s.strayAnswers + s.otherErrors);
    const double fps = framesPerSecond();
    if (fps >= 0)
        text += QStringLiteral(", ") + tr("%1 frames/s").arg(fps, 0, 'f', 2);
    else if (continuousMode())
        text += QStringLiteral(", ") + tr("– frames/s");
    setText(text);
    show();
}
