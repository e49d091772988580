#include "switch.h"

#include <QSignalSpy>
#include <QTest>

namespace {

// Switch with its animators in reach, to wait for a slide or hold one halfway.
class ProbeSwitch : public Switch
{
public:
    using Switch::Switch;
    Animator *position() const { return thumbPositionAnimator; }
    QList<Animator *> animators() const
    {
        return {thumbPositionAnimator, thumbColorAnimator, trackColorAnimator};
    }
    bool isAnimating() const
    {
        for (Animator *a : animators()) {
            if (a->state() == QAbstractAnimation::Running)
                return true;
        }
        return false;
    }
};

const QColor ThumbOff(0xfa, 0xfa, 0xfa);
const QColor ThumbOn(0x00, 0xbc, 0xd4);
const QColor ThumbDisabled(0xbd, 0xbd, 0xbd);
const QColor TrackOff(0, 0, 0, 97);
const QColor TrackOn(0x00, 0xbc, 0xd4, 128);
const QColor TrackDisabled(0, 0, 0, 31); // black at painter opacity 0.12

// The thumb centre runs along y 18 from x 17 to x 35, and the thumb is 23 pixels wide:
// x 10 and x 42 show the track except where the thumb rests at that end.
constexpr int CentreY = 18;
constexpr int LeftEnd = 17;
constexpr int RightEnd = 35;
constexpr int LeftTrack = 10;
constexpr int RightTrack = 42;

QColor over(const QColor &background, const QColor &c)
{
    const double a = c.alphaF();
    return QColor::fromRgbF(background.redF() * (1 - a) + c.redF() * a,
                            background.greenF() * (1 - a) + c.greenF() * a,
                            background.blueF() * (1 - a) + c.blueF() * a);
}

bool near(const QColor &a, const QColor &b, int tolerance = 6)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance;
}

#define COMPARE_COLOR(actual, expected)                                                            \
    QVERIFY2(near(actual, expected), qPrintable((actual).name() + " != " + (expected).name()))

QColor shownAt(QWidget &w, int x)
{
    return w.grab().toImage().pixelColor(x, CentreY);
}

} // namespace

class tst_Switch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void restingLook_data();
    void restingLook();
    void slideAndInterruption();
    void hiddenStopsTheSlide();
    void changesAreAnnouncedOnce();
};

void tst_Switch::restingLook_data()
{
    QTest::addColumn<bool>("checked");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QColor>("thumb");
    QTest::addColumn<QColor>("track");
    QTest::newRow("off") << false << true << ThumbOff << TrackOff;
    QTest::newRow("on") << true << true << ThumbOn << TrackOn;
    QTest::newRow("disabled off") << false << false << ThumbDisabled << TrackDisabled;
    QTest::newRow("disabled on") << true << false << ThumbDisabled << TrackDisabled;
}

// The state is set while the switch is hidden, as the window sets the switches of a page
// that is not shown, and must show at once.
void tst_Switch::restingLook()
{
    QFETCH(bool, checked);
    QFETCH(bool, enabled);
    QFETCH(QColor, thumb);
    QFETCH(QColor, track);

    ProbeSwitch sw;
    sw.setChecked(checked);
    QVERIFY(!sw.isAnimating());
    sw.setEnabled(enabled);
    sw.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sw));

    COMPARE_COLOR(shownAt(sw, checked ? RightEnd : LeftEnd), thumb);
    COMPARE_COLOR(shownAt(sw, checked ? LeftTrack : RightTrack),
                  over(sw.palette().color(QPalette::Window), track));
}

void tst_Switch::slideAndInterruption()
{
    ProbeSwitch sw;
    sw.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sw));

    sw.setChecked(true);
    QVERIFY(sw.isAnimating());
    QTRY_VERIFY(!sw.isAnimating());
    COMPARE_COLOR(shownAt(sw, RightTrack), ThumbOn);

    // Unchecking starts where the thumb is; hold it halfway (the slides and the colour
    // blends all last 150 ms), then check again: the slide starts over from the left end.
    sw.setChecked(false);
    for (Animator *a : sw.animators()) {
        a->pause();
        a->setCurrentTime(75);
    }
    QCOMPARE(sw.position()->currentValue().toInt(), 18);
    sw.setChecked(true);
    QCOMPARE(sw.position()->currentValue().toInt(), 0);
    COMPARE_COLOR(shownAt(sw, LeftTrack), ThumbOff);
    QTRY_VERIFY(!sw.isAnimating());
    COMPARE_COLOR(shownAt(sw, RightTrack), ThumbOn);
}

void tst_Switch::hiddenStopsTheSlide()
{
    // Nobody to draw for: an animation stops at its first step.
    QWidget hidden;
    Animator animator(&hidden);
    animator.setup(150);
    animator.interpolate(0, 10);
    QCOMPARE(animator.state(), QAbstractAnimation::Stopped);

    ProbeSwitch sw;
    sw.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sw));
    sw.setChecked(true);
    QVERIFY(sw.isAnimating());
    sw.hide();
    QTRY_VERIFY(!sw.isAnimating());
}

void tst_Switch::changesAreAnnouncedOnce()
{
    ProbeSwitch sw;
    sw.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sw));
    QSignalSpy stateSpy(&sw, &SelectionControl::stateChanged);

    QTest::mouseClick(&sw, Qt::LeftButton, {}, QPoint(26, CentreY));
    QCOMPARE(stateSpy.count(), 1);
    QTRY_VERIFY(!sw.isAnimating());

    // Setting the state again, as every settings read does, shows no slide.
    sw.setChecked(true);
    QCOMPARE(stateSpy.count(), 1);
    QVERIFY(!sw.isAnimating());
}

QTEST_MAIN(tst_Switch)
#include "tst_switch.moc"
