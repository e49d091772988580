#include "switch.h"

#include <QFontMetrics>
#include <QSignalSpy>
#include <QTest>

namespace {

// Switch with its animators in reach, to wait for a slide or stop one halfway.
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

// Accepts animation steps the way a visible widget does, and counts them.
class StepTarget : public QObject
{
public:
    int steps = 0;
    bool event(QEvent *e) override
    {
        if (e->type() != QEvent::StyleAnimationUpdate)
            return QObject::event(e);
        ++steps;
        e->accept();
        return true;
    }
};

const QColor ThumbOff(0xfa, 0xfa, 0xfa);
const QColor ThumbOn(0x00, 0xbc, 0xd4);
const QColor ThumbDisabled(0xbd, 0xbd, 0xbd);
const QColor TrackOff(0, 0, 0, 97);
const QColor TrackOn(0x00, 0xbc, 0xd4, 128);
const QColor TrackDisabled(0, 0, 0, 31); // black at painter opacity 0.12

// The thumb centre runs along y 18 from x 17 to x 35 and is 23 pixels wide,
// so x 10 and x 42 show the track except when the thumb rests at that end.
constexpr int CentreY = 18;
constexpr int LeftEnd = 17;
constexpr int RightEnd = 35;
constexpr int LeftTrack = 10;
constexpr int RightTrack = 42;
constexpr int IndicatorWidth = 52;

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

QImage snapshot(QWidget &w)
{
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The darkest grey value within columns [fromX, toX).
int darkest(const QImage &image, int fromX, int toX)
{
    int result = 255;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = qMax(0, fromX); x < qMin(image.width(), toX); ++x)
            result = qMin(result, qGray(image.pixel(x, y)));
    }
    return result;
}

} // namespace

class tst_Switch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sizeHint();
    void restingLook_data();
    void restingLook();
    void rightToLeft();
    void slideAndInterruption();
    void disabledAndHiddenDoNotSlide();
    void changesAreAnnouncedOnce();
    void animator();
};

void tst_Switch::sizeHint()
{
    QCOMPARE(Switch().sizeHint(), QSize(52, 36));
    // The form replaces the font after construction.
    Switch sw(QStringLiteral("Application 1"));
    QFont font = sw.font();
    font.setPointSize(8);
    sw.setFont(font);
    const int textWidth = QFontMetrics(font).horizontalAdvance(sw.text());
    QCOMPARE(sw.sizeHint(), QSize(IndicatorWidth + textWidth, 36));
}

void tst_Switch::restingLook_data()
{
    QTest::addColumn<bool>("checked");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QColor>("thumb");
    QTest::addColumn<QColor>("track");
    const QString text = QStringLiteral("Enable");
    QTest::newRow("off") << false << true << QString() << ThumbOff << TrackOff;
    QTest::newRow("on") << true << true << QString() << ThumbOn << TrackOn;
    QTest::newRow("disabled off") << false << false << QString() << ThumbDisabled << TrackDisabled;
    QTest::newRow("disabled on") << true << false << QString() << ThumbDisabled << TrackDisabled;
    QTest::newRow("on, text") << true << true << text << ThumbOn << TrackOn;
    QTest::newRow("disabled on, text") << true << false << text << ThumbDisabled << TrackDisabled;
}

// The state is set while the switch is hidden, which must take effect at once.
void tst_Switch::restingLook()
{
    QFETCH(bool, checked);
    QFETCH(bool, enabled);
    QFETCH(QString, text);
    QFETCH(QColor, thumb);
    QFETCH(QColor, track);

    ProbeSwitch sw(text);
    sw.resize(200, 36);
    sw.setChecked(checked);
    QVERIFY(!sw.isAnimating());
    sw.setEnabled(enabled);
    sw.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sw));

    const QImage image = snapshot(sw);
    const QColor background = sw.palette().color(QPalette::Window);
    const int thumbX = checked ? RightEnd : LeftEnd;
    COMPARE_COLOR(image.pixelColor(thumbX, CentreY), thumb);
    COMPARE_COLOR(image.pixelColor(checked ? LeftTrack : RightTrack, CentreY),
                  over(background, track));
    // The thumb overhangs the track, and its shadow falls below it.
    COMPARE_COLOR(image.pixelColor(thumbX, 8), thumb);
    QVERIFY(qGray(image.pixel(thumbX, 31)) < qGray(background.rgb()) - 3);

    const int ink = darkest(image, IndicatorWidth, image.width());
    if (text.isEmpty())
        QCOMPARE(ink, qGray(background.rgb()));
    else if (enabled)
        QVERIFY2(ink < 80, QByteArray::number(ink));
    else // black text at opacity 0.26 stays light
        QVERIFY2(ink > 140 && ink < qGray(background.rgb()) - 20, QByteArray::number(ink));
}

void tst_Switch::rightToLeft()
{
    Switch sw(QStringLiteral("Enable"));
    sw.setLayoutDirection(Qt::RightToLeft);
    sw.resize(200, 36);
    sw.setChecked(true);
    sw.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sw));

    const QImage image = snapshot(sw);
    // The indicator moves to the right edge, yet checked still means right.
    const int indicator = 200 - IndicatorWidth;
    COMPARE_COLOR(image.pixelColor(indicator + RightEnd, CentreY), ThumbOn);
    COMPARE_COLOR(image.pixelColor(indicator + LeftTrack, CentreY),
                  over(sw.palette().color(QPalette::Window), TrackOn));
    QVERIFY(darkest(image, 0, indicator) < 80);
    QVERIFY(darkest(image, indicator, indicator + IndicatorWidth) > 80);
}

void tst_Switch::slideAndInterruption()
{
    ProbeSwitch sw;
    sw.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sw));
    const QColor background = sw.palette().color(QPalette::Window);

    sw.setChecked(true);
    QVERIFY(sw.isAnimating());
    QTRY_VERIFY(!sw.isAnimating());
    COMPARE_COLOR(snapshot(sw).pixelColor(RightTrack, CentreY), ThumbOn);

    // Unchecking starts where the thumb is; hold it halfway (the slides last
    // 150 ms, the colours blend in the same time).
    sw.setChecked(false);
    QCOMPARE(sw.position()->currentValue().toInt(), 36);
    for (Animator *a : sw.animators()) {
        a->pause();
        a->setCurrentTime(75);
    }
    QCOMPARE(sw.position()->currentValue().toInt(), 18);
    QImage image = snapshot(sw);
    const QColor thumb = sw.animators().at(1)->currentValue().value<QColor>();
    const QColor track = sw.animators().at(2)->currentValue().value<QColor>();
    QVERIFY(!near(thumb, ThumbOn, 20) && !near(thumb, ThumbOff, 20));
    COMPARE_COLOR(image.pixelColor(26, CentreY), thumb); // 17 + 18 / 2
    COMPARE_COLOR(image.pixelColor(LeftTrack, CentreY), over(background, track));
    COMPARE_COLOR(image.pixelColor(RightTrack, CentreY), over(background, track));

    // Checking again runs the whole way from the left end.
    sw.setChecked(true);
    QCOMPARE(sw.position()->currentValue().toInt(), 0);
    image = snapshot(sw);
    COMPARE_COLOR(image.pixelColor(LeftTrack, CentreY), ThumbOff);
    COMPARE_COLOR(image.pixelColor(RightTrack, CentreY), over(background, TrackOff));
    QTRY_VERIFY(!sw.isAnimating());
    COMPARE_COLOR(snapshot(sw).pixelColor(RightTrack, CentreY), ThumbOn);

    // Unchecking an interrupted check goes back from where the thumb is.
    sw.setChecked(false);
    QTRY_VERIFY(!sw.isAnimating());
    sw.setChecked(true);
    sw.position()->pause();
    sw.position()->setCurrentTime(75);
    sw.setChecked(false);
    QCOMPARE(sw.position()->currentValue().toInt(), 18);
    QTRY_VERIFY(!sw.isAnimating());
    COMPARE_COLOR(snapshot(sw).pixelColor(LeftTrack, CentreY), ThumbOff);
}

void tst_Switch::disabledAndHiddenDoNotSlide()
{
    ProbeSwitch sw;
    sw.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sw));
    sw.setChecked(true);
    QCOMPARE(sw.position()->currentValue().toInt(), 0);
    sw.setEnabled(false);
    COMPARE_COLOR(snapshot(sw).pixelColor(RightTrack, CentreY), ThumbDisabled);

    // Nothing to draw for a hidden switch, so its slide stops.
    sw.setEnabled(true);
    sw.setChecked(false);
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

    QTest::mouseClick(&sw, Qt::LeftButton, {}, QPoint(26, 18));
    QCOMPARE(stateSpy.count(), 1);
    QCOMPARE(stateSpy.at(0).at(0).toInt(), int(Qt::Checked));
    QTRY_VERIFY(!sw.isAnimating());

    // Setting the state again, as every settings read does, shows no slide.
    sw.setChecked(true);
    QCOMPARE(stateSpy.count(), 1);
    QVERIFY(!sw.isAnimating());

    QTest::mouseClick(&sw, Qt::LeftButton, {}, QPoint(26, 18));
    QCOMPARE(sw.checkState(), Qt::Unchecked);
    QCOMPARE(stateSpy.count(), 2);
    QCOMPARE(stateSpy.at(1).at(0).toInt(), int(Qt::Unchecked));
}

void tst_Switch::animator()
{
    {
        QTest::ignoreMessage(
            QtWarningMsg, "Animation::updateState: Changing state of an animation without target");
        Animator orphan(nullptr);
        orphan.setEndValue(1);
        orphan.start();
    }

    auto *target = new StepTarget;
    {
        // Both state changes, to Running and back, find no end value.
        const char *noEnd =
            "Animation::updateState (QObject): starting an animation without end value";
        QTest::ignoreMessage(QtWarningMsg, noEnd);
        QTest::ignoreMessage(QtWarningMsg, noEnd);
        Animator animator(target);
        animator.start();
    }

    Animator animator(target);
    animator.setCurrentValue(7);
    QCOMPARE(animator.startValue().toInt(), 7);
    QCOMPARE(animator.endValue().toInt(), 7);
    QCOMPARE(animator.state(), QAbstractAnimation::Stopped);
    QVERIFY(target->steps > 0);

    StepTarget other;
    animator.setup(150);
    animator.interpolate(0, 10);
    animator.setTargetObject(target); // the same target is no change
    QTest::ignoreMessage(
        QtWarningMsg,
        "Animation::setTargetObject: you can't change the target of a running animation");
    animator.setTargetObject(&other);
    QCOMPARE(animator.targetObject(), target);
    animator.stop();
    delete target;
    QCOMPARE(animator.targetObject(), nullptr);

    // A widget nobody can see does not keep an animation running.
    QWidget hidden;
    animator.setTargetObject(&hidden);
    animator.interpolate(0, 10);
    QCOMPARE(animator.state(), QAbstractAnimation::Stopped);
}

QTEST_MAIN(tst_Switch)
#include "tst_switch.moc"
