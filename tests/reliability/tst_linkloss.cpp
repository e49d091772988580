#include "briscadevice.h"
#include "mainwindow.h"
#include "reliabilitysupport.h"
#include "windowdriver.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPushButton>
#include <QTest>

#include <algorithm>

// The sensor's line goes away in the middle of continuous images, twenty times in one run
// of the same window: each time the window must show a closed port promptly and with few
// messages, and once a sensor is back on the same link path, Connect, Select slave and
// continuous images must work as before.
class tst_LinkLoss : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void lossAndReturn();
};

namespace {

using namespace Reliability;

constexpr int Rounds = 20;
constexpr int StepTimeoutMs = 20000;
// What a loss may show: the port's own errors (read, resource), the abort of the requests
// still queued (one image is 16 requests, each reported with the same text, which the bar
// shows as one), and the window's own note. Near these bounds the window would be echoing
// the flood of errors a dead port raises.
constexpr int MaxVisibleMessagesPerLoss = 5;
constexpr int MaxMessagesPerLoss = 24;
// How long after the port is shown closed late messages are still counted.
constexpr int TrailingMs = 500;

enum class Loss
{
    StdinHangup, // the sensor closes its line on a control line
    Terminated,  // the sensor process ends
    MidFrame,    // the sensor closes its line on a frame request
};

const char *lossName(Loss loss)
{
    switch (loss) {
    case Loss::StdinHangup:
        return "hang-up";
    case Loss::Terminated:
        return "process ended";
    case Loss::MidFrame:
        return "hang-up mid-frame";
    }
    return "";
}

struct Round
{
    Loss loss = Loss::StdinHangup;
    qint64 closedAfterMs = -1;
    int messages = 0;
    int visible = 0;
    int portErrors = 0;
    qint64 longestOwnGapMs = -1;
    QStringList shown;
};

// "A → B (×12) → C": consecutive repeats as one text with their number.
QString collapsed(const QStringList &messages)
{
    QStringList parts;
    for (int i = 0; i < messages.size();) {
        int j = i;
        while (j < messages.size() && messages.at(j) == messages.at(i))
            ++j;
        parts << (j - i > 1 ? QStringLiteral("%1 (×%2)").arg(messages.at(i)).arg(j - i)
                            : messages.at(i));
        i = j;
    }
    return parts.join(QStringLiteral(" → "));
}

QString median(QVector<qint64> values)
{
    if (values.isEmpty())
        return QStringLiteral("-");
    std::sort(values.begin(), values.end());
    return QString::number(values.at(values.size() / 2));
}

} // namespace

void tst_LinkLoss::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

void tst_LinkLoss::lossAndReturn()
{
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    StatusLog log(&driver.window());
    LoopWatch watch;
    QVERIFY(driver.connectAndSelect());
    auto *cycle = driver.child<QPushButton>("pushButton_cycleMode");

    QList<Round> rounds;
    for (int i = 0; i < Rounds; ++i) {
        Round round;
        round.loss = Loss(i % 3);
        BriscaDevice *device = driver.device();
        QVERIFY(device);
        log.attach(device);
        // The counters live for this round only, and so do the connections to them.
        QObject scope;
        int frames = 0;
        int portErrors = 0;
        connect(device, &BriscaDevice::pixelDataReady, &scope, [&frames] { ++frames; });
        connect(device, &QModbusDevice::errorOccurred, &scope, [&portErrors] { ++portErrors; });

        cycle->click();
        QVERIFY2(waitUntil([&] { return frames >= 2; }, StepTimeoutMs),
                 qPrintable(QStringLiteral("round %1: no frames").arg(i)));

        const int from = log.size();
        QElapsedTimer clock;
        watch.start();
        switch (round.loss) {
        case Loss::StdinHangup:
            clock.start();
            QVERIFY(driver.sim().command("hangup"));
            break;
        case Loss::Terminated:
            clock.start();
            driver.sim().stop();
            break;
        case Loss::MidFrame:
            // The next request for the middle of a frame ends the line.
            QVERIFY(driver.sim().command("fault hangup,fc=4,addr=656"));
            clock.start();
            break;
        }
        const bool closed =
            waitUntil([&] { return portClosedDifferences(driver).isEmpty(); }, StepTimeoutMs);
        round.closedAfterMs = clock.elapsed();
        QVERIFY2(closed, qPrintable(QStringLiteral("round %1 (%2): %3")
                                        .arg(i)
                                        .arg(QLatin1String(lossName(round.loss)))
                                        .arg(portClosedDifferences(driver).join(", "))));
        // Late messages after the port is shown closed count as well.
        waitUntil([] { return false; }, TrailingMs);
        watch.stop();
        round.longestOwnGapMs = watch.longestOwnGapMs();
        round.shown = log.since(from);
        round.messages = round.shown.size();
        round.portErrors = portErrors;
        for (int m = 0; m < round.shown.size(); ++m) {
            if (m == 0 || round.shown.at(m) != round.shown.at(m - 1))
                ++round.visible;
        }
        rounds << round;

        QVERIFY2(round.messages <= MaxMessagesPerLoss && round.visible <= MaxVisibleMessagesPerLoss,
                 qPrintable(QStringLiteral("round %1: %2").arg(i).arg(round.shown.join(" | "))));
        QVERIFY2(!round.shown.isEmpty() && round.shown.last().startsWith("Connection lost"),
                 qPrintable(QStringLiteral("round %1: %2").arg(i).arg(round.shown.join(" | "))));
        QVERIFY2(
            round.longestOwnGapMs < FreezeMs,
            qPrintable(
                QStringLiteral("round %1: loop stalled %2 ms").arg(i).arg(round.longestOwnGapMs)));
        // The mode ended with the link; the button is free to start it again.
        QVERIFY(!cycle->isChecked());

        // A new sensor on the same path; the operator connects and selects again.
        QVERIFY(driver.sim().waitForFinished(StepTimeoutMs));
        QVERIFY(driver.sim().start({QStringLiteral("--load"),
                                    driver.sim().tempPath(QStringLiteral("start.json")),
                                    QStringLiteral("--fps"), QStringLiteral("0")}));
        QCOMPARE(driver.child<QLineEdit>("lineEdit_portname")->text(), driver.sim().linkPath());
        const int selectFrom = log.size();
        driver.child<QPushButton>("pushButton_connect")->click();
        QVERIFY2(driver.device() &&
                     driver.child<QPushButton>("pushButton_SelectSlave")->isEnabled(),
                 qPrintable(log.since(selectFrom).join(" | ")));
        driver.child<QPushButton>("pushButton_SelectSlave")->click();
        QVERIFY2(
            waitUntil([&] { return log.find("^Done, connection successful$", selectFrom) >= 0; },
                      StepTimeoutMs),
            qPrintable(log.since(selectFrom).join(" | ")));
        QVERIFY(driver.settle());
    }

    // The last round's sensor serves continuous images once more, then the mode stops.
    int frames = 0;
    connect(driver.device(), &BriscaDevice::pixelDataReady, this, [&frames] { ++frames; });
    cycle->click();
    QVERIFY(waitUntil([&] { return frames >= 2; }, StepTimeoutMs));
    cycle->click();
    QVERIFY(driver.settle());

    QVector<qint64> times, gaps;
    QStringList lines;
    int mostMessages = 0, mostVisible = 0, mostErrors = 0;
    for (int i = 0; i < rounds.size(); ++i) {
        const Round &r = rounds.at(i);
        times << r.closedAfterMs;
        gaps << r.longestOwnGapMs;
        mostMessages = std::max(mostMessages, r.messages);
        mostVisible = std::max(mostVisible, r.visible);
        mostErrors = std::max(mostErrors, r.portErrors);
        lines << QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 |")
                     .arg(i + 1)
                     .arg(QLatin1String(lossName(r.loss)))
                     .arg(r.closedAfterMs)
                     .arg(r.visible)
                     .arg(r.messages)
                     .arg(r.portErrors)
                     .arg(r.longestOwnGapMs);
    }
    const qint64 slowest = *std::max_element(times.cbegin(), times.cend());
    const QString summary =
        QStringLiteral("%1 rounds: port shown closed after %2 ms (median), %3 ms (slowest); per "
                       "loss at most %4 different status texts in a row (%5 messages in all) and "
                       "%6 port errors; longest own loop gap %7 ms (median), %8 ms (longest).")
            .arg(rounds.size())
            .arg(median(times))
            .arg(slowest)
            .arg(mostVisible)
            .arg(mostMessages)
            .arg(mostErrors)
            .arg(median(gaps))
            .arg(*std::max_element(gaps.cbegin(), gaps.cend()));
    qInfo("%s", qPrintable(summary));
    const QString table =
        summary + QStringLiteral("\n\nMessages of the first round: ") +
        collapsed(rounds.first().shown) +
        QStringLiteral(
            "\n\n| Round | Loss | Port closed after (ms) | Texts shown | Messages | "
            "Port errors | Longest own loop gap (ms) |\n|--:|---|--:|--:|--:|--:|--:|\n") +
        lines.join(QLatin1Char('\n'));
    QVERIFY2(replaceSection(QStringLiteral("link-loss"), table), qPrintable(documentPath()));
}

QTEST_MAIN(tst_LinkLoss)
#include "tst_linkloss.moc"
