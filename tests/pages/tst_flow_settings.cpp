#include "briscadevice.h"
#include "reliabilitysupport.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QJsonArray>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QWheelEvent>

using namespace Reliability;

// Writing settings and reading them back, through the real window against the virtual
// sensor: what Select slave shows and writes back, what each control writes, changes that
// must settle, and every fault of the line against the reads and writes of settings.
class tst_FlowSettings : public QObject
{
    Q_OBJECT

private slots:
    void selectShowsTheSensorsValues();
    void valuesTheListsDoNotKnow_data();
    void valuesTheListsDoNotKnow();
    void controlWrites_data();
    void controlWrites();
    void settles_data();
    void settles() { playRow(); }
    void linkFaults_data() { faultMatrixRows({SelectSlave, SettingsRead}); }
    void linkFaults() { runFaultRow(); }
    void writeFaults_data() { faultMatrixRows({CoilWrite, RegisterWrite, ThresholdPair}); }
    void writeFaults() { runFaultRow(); }
    void busFaults_data() { faultMatrixRows({BusSettings}); }
    void busFaults() { runFaultRow(); }
};

namespace {

const char Green[] = " QLabel {color : #1e8e3e; }";
const char Red[] = " QLabel {color : #ff0000; }";

QStringList withoutCrc(const QStringList &frames)
{
    QStringList result;
    for (const QString &frame : frames)
        result << frame.left(frame.size() - 4);
    return result;
}

QString pairWrite(int page, int maximum, int minimum)
{
    const auto hex = [](int value) {
        return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
    };
    return QStringLiteral("0110") + hex(2 * page) + QStringLiteral("000204") + hex(maximum) +
           hex(minimum);
}

// A sensor whose write echoes take this long: long enough for a second change to follow
// before the first echo, short against the reply timeout.
const QStringList SlowEchoes = {"--fault", "late:150,fc=5", "--fault", "late:150,fc=6"};

void wheelDown(QWidget *widget)
{
    const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
    QWheelEvent event(at, QPointF(widget->mapToGlobal(at.toPoint())), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(widget, &event);
}

QString holdingWrite(int address)
{
    return WindowDriver::holdingWrite(1, address, 0).left(8);
}

} // namespace

void tst_FlowSettings::selectShowsTheSensorsValues()
{
    // Every value differs from the form's start state.
    const QJsonObject map{
        {"coils", QJsonArray{1, 0, 0, 0, 1, 1, 0, 1, 0, 1, 1, 0, 0}},
        {"holding", QJsonArray{7, 22, 3731, 2631, 3481, 2781, 3331, 2681, 1200, 42, 20, 7, 3, 3}}};
    WindowDriver driver;
    QVERIFY(driver.start(map, {"--fps", "0", "--slave", "7"}));
    QVERIFY(driver.connectAndSelect(7));

    const QStringList names =
        QStringLiteral(
            "radioButton_NoNcEnabled comboBox_alarmTimerBased comboBox_outputBehavior "
            "comboBox_trasnistorTypeSelection comboBox_counterType radioButton_app1LimitFov "
            "radioButton_frameAverageApps1And3 radioButton_frameAverageApps1And3_2 "
            "radioButton_App1Enable radioButton_App2Enable radioButton_App3Enable "
            "label_app1PageApplicationOneEnabled label_app3PageApplicationThreeEnabled "
            "spinBox_slaveAddrUpdate comboBox_baudrateUpdate comboBox_parityUpdate "
            "spinBox_alarmDuration spinBox_emissivity comboBox_reticleSize "
            "spinBox_movingAverageWindow comboBox_gridROISize comboBox_temperatureChoice")
            .split(QLatin1Char(' '));
    QStringList seen;
    for (const QString &name : names)
        seen << name + QLatin1Char('=') + shown(driver, qPrintable(name));
    const QString enabled = QStringLiteral("ENABLED") + Green;
    const QStringList values = {"on",   "Action based", "N.O.",  "PNP",   "Unidirectional",
                                "on",   "on",           "on",    "on",    "off",
                                "on",   enabled,        enabled, "7",     "19200",
                                "Even", "1200",         "42",    "20x20", "7",
                                "8x8",  "Hot and Cold"};
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(seen.at(i), names.at(i) + QLatin1Char('=') + values.value(i));
    // "Action based" has no duration.
    QVERIFY(!driver.child<QSpinBox>("spinBox_alarmDuration")->isEnabled());
    const double thresholds[] = {100.0, -10.0, 75.0, 5.0, 60.0, -5.0};
    for (int i = 0; i < 6; ++i)
        QCOMPARE(driver.child<QDoubleSpinBox>(Editors[i])->value(), thresholds[i]);
    QCOMPARE(editorsEnabled(driver), QString("111111"));

    // Each combo box and check button that the received data changed wrote the value back
    // to the slave selected, once (the two frame-average buttons mirror each other, hence
    // twice); the application switches and the spin boxes wrote nothing.
    const QStringList writes = {
        WindowDriver::coilWrite(7, 0, true),  WindowDriver::coilWrite(7, 1, false),
        WindowDriver::coilWrite(7, 2, false), WindowDriver::coilWrite(7, 3, false),
        WindowDriver::coilWrite(7, 9, true),  WindowDriver::coilWrite(7, 10, true),
        WindowDriver::coilWrite(7, 10, true), WindowDriver::coilWrite(7, 4, true),
        WindowDriver::holdingWrite(7, 13, 3), WindowDriver::holdingWrite(7, 10, 20),
        WindowDriver::holdingWrite(7, 12, 3)};
    QCOMPARE(withoutCrc(driver.writesSince(0)), writes);
}

void tst_FlowSettings::valuesTheListsDoNotKnow_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("editors"); // enabled: max and min of each page
    QTest::addColumn<bool>("writtenBack");
    QTest::newRow("hot") << 13 << 1 << "101010" << false;
    QTest::newRow("cold") << 13 << 2 << "010101" << true;
    QTest::newRow("hot and cold") << 13 << 3 << "111111" << true;
    // Unknown values: the list shows nothing rather than a wrong item, the editors stay as
    // the form started them, and the sensor keeps its value.
    QTest::newRow("temperature choice 0") << 13 << 0 << "111111" << false;
    QTest::newRow("temperature choice 9") << 13 << 9 << "111111" << false;
    QTest::newRow("centred area 5") << 10 << 5 << "101010" << false;
    QTest::newRow("centred area 34") << 10 << 34 << "101010" << false;
    QTest::newRow("grid code 0") << 12 << 0 << "101010" << false;
    QTest::newRow("grid code 5") << 12 << 5 << "101010" << false;
}

void tst_FlowSettings::valuesTheListsDoNotKnow()
{
    QFETCH(int, address);
    QFETCH(int, value);
    QFETCH(QString, editors);
    QFETCH(bool, writtenBack);
    WindowDriver driver;
    QVERIFY(
        driver.start(WindowDriver::withValue(WindowDriver::quietMap(), "holding", address, value)));
    QVERIFY(driver.connectAndSelect());

    QCOMPARE(editorsEnabled(driver), editors);
    const QStringList written = withoutCrc(driver.writesSince(0));
    QCOMPARE(written, writtenBack ? QStringList{WindowDriver::holdingWrite(1, address, value)}
                                  : QStringList());
    const char *list = address == 13   ? "comboBox_temperatureChoice"
                       : address == 10 ? "comboBox_reticleSize"
                                       : "comboBox_gridROISize";
    if (address != 13 || value < 1 || value > 3)
        QCOMPARE(driver.child<QComboBox>(list)->currentIndex(), -1);
    QCOMPARE(driver.sim().stateArray("holding").value(address, value), value);
}

void tst_FlowSettings::controlWrites_data()
{
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<int>("value"); // the item of a list, the number of a box
    QTest::addColumn<QStringList>("writes");
    const auto coil = [](int address, bool on) {
        return QStringList{WindowDriver::coilWrite(1, address, on)};
    };
    const auto holding = [](int address, int value) {
        return QStringList{WindowDriver::holdingWrite(1, address, value)};
    };
    const auto row = [](const char *name, const char *control, int value,
                        const QStringList &writes) {
        QTest::newRow(name) << QByteArray(control) << value << writes;
    };
    row("output behaviour N.O.", "comboBox_outputBehavior", 1, coil(2, false));
    row("transistor PNP", "comboBox_trasnistorTypeSelection", 1, coil(3, false));
    row("action based", "comboBox_alarmTimerBased", 1, coil(1, false));
    row("temperature choice cold", "comboBox_temperatureChoice", 1, holding(13, 2));
    row("centred area 32x32", "comboBox_reticleSize", 15, holding(10, 32));
    row("centred area 4x4", "comboBox_reticleSize", 1, holding(10, 4));
    row("grid 16x16", "comboBox_gridROISize", 3, holding(12, 4));
    row("unidirectional", "comboBox_counterType", 1, coil(4, true));
    row("alarm duration", "spinBox_alarmDuration", 700, holding(8, 700));
    row("emissivity", "spinBox_emissivity", 98, holding(9, 98));
    row("moving average window", "spinBox_movingAverageWindow", 16, holding(11, 16));
    row("NO/NC enabled", "radioButton_NoNcEnabled", 0, coil(0, true));
    row("application 1 on", "radioButton_App1Enable", 0, coil(5, true));
    row("application 3 on", "radioButton_App3Enable", 0, coil(7, true));
    row("limit field of view", "radioButton_app1LimitFov", 0, coil(9, true));
    // The buttons of pages 1 and 3 mirror each other; each writes the coil.
    row("frame average", "radioButton_frameAverageApps1And3_2", 0, coil(10, true) + coil(10, true));
    for (const char *page : {"", "_2", "_3"})
        QTest::addRow("reset NO/NC pin%s", page)
            << QByteArray("pushButton_clearNONCapp1") + page << 0 << coil(11, false);
    row("reset counter", "pushButton_resetApp3Counter", 0, coil(12, true));
    // "Hot": the minimum editor is disabled and still sends what it shows; one request,
    // both registers, the maximum first.
    for (int page = 1; page <= 3; ++page)
        QTest::addRow("thresholds of application %d", page)
            << "pushButton_app" + QByteArray::number(page) + "SetNewThresholds" << page
            << QStringList{pairWrite(page, 2981, 2531)};
}

void tst_FlowSettings::controlWrites()
{
    QFETCH(QByteArray, control);
    QFETCH(int, value);
    QFETCH(QStringList, writes);
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    QVERIFY(driver.connectAndSelect());
    QWidget *widget = driver.child<QWidget>(control);
    QVERIFY(widget);

    if (auto *combo = qobject_cast<QComboBox *>(widget)) {
        combo->setCurrentIndex(value);
    } else if (auto *spin = qobject_cast<QSpinBox *>(widget)) {
        // A new value alone is not yet an edit: only Enter or leaving the box writes.
        spin->setValue(value);
        QVERIFY(driver.settle());
        QCOMPARE(driver.writesSince(0), QStringList());
        QTest::keyClick(spin, Qt::Key_Return);
    } else if (control.endsWith("SetNewThresholds")) {
        driver.child<QDoubleSpinBox>(Editors[2 * value - 2])->setValue(25.0);
        driver.child<QDoubleSpinBox>(Editors[2 * value - 1])->setValue(-20.0);
        qobject_cast<QAbstractButton *>(widget)->click();
    } else {
        qobject_cast<QAbstractButton *>(widget)->click();
    }
    QVERIFY(driver.settle());
    QCOMPARE(withoutCrc(driver.writesSince(0)), writes);
    if (control.endsWith("SetNewThresholds")) {
        // The echo shows what the sensor now holds.
        QCOMPARE(driver.child<QDoubleSpinBox>(Editors[2 * value - 2])->value(), 25.0);
        QCOMPARE(driver.child<QDoubleSpinBox>(Editors[2 * value - 1])->value(), -20.0);
    }
}

// Changes that must settle: each row plays what an operator did, and checks that the line
// falls quiet with the sensor and the window agreeing.
void tst_FlowSettings::settles_data()
{
    QTest::addColumn<QJsonObject>("map");
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<Moves>("moves");
    const QJsonObject quiet = WindowDriver::quietMap();

    QTest::newRow("output behaviour changed and changed back")
        << quiet << SlowEchoes << Moves([](Play &p) {
               auto *behaviour = p.get<QComboBox>("comboBox_outputBehavior");
               const int mark = p.driver.mark();
               behaviour->setCurrentIndex(1);
               behaviour->setCurrentIndex(0);
               // An endless exchange of echoes and writes never lets the line fall quiet.
               QVERIFY(p.driver.settle());
               QCOMPARE(p.driver.writesSince(mark).size(), 2);
               QCOMPARE(behaviour->currentIndex(), 0);
               QCOMPARE(p.coil(2), 1);
           });
    QTest::newRow("three wheel notches over the centred area")
        << quiet << SlowEchoes << Moves([](Play &p) {
               auto *reticle = p.get<QComboBox>("comboBox_reticleSize");
               const int mark = p.driver.mark();
               for (int notch = 0; notch < 3; ++notch)
                   wheelDown(reticle);
               QVERIFY(p.driver.settle());
               QCOMPARE(p.writesTo(mark, holdingWrite(10)).size(), 3);
               QCOMPARE(reticle->currentText(), QString("8x8"));
               QCOMPARE(p.holding(10), 8);
           });
    QTest::newRow("enable label after the sensor changed while disconnected")
        << WindowDriver::withValue(quiet, "coils", 5, 1) << QStringList() << Moves([](Play &p) {
               QCOMPARE(shown(p.driver, "label_app1PageApplicationOneEnabled"),
                        QStringLiteral("ENABLED") + Green);
               p.get("pushButton_Disconnect")->click();
               QVERIFY(p.driver.sim().command("set coil 5 0"));
               QVERIFY(p.select());
               QCOMPARE(shown(p.driver, "radioButton_App1Enable"), QString("off"));
               QCOMPARE(shown(p.driver, "label_app1PageApplicationOneEnabled"),
                        QStringLiteral("DISABLED") + Red);
           });
    // Application 2's maximum is held as 5130, which the labels' path shows as 239.8.
    QTest::newRow("thresholds that drift")
        << WindowDriver::withValue(WindowDriver::withValue(quiet, "holding", 13, 3), "holding", 4,
                                   5130)
        << QStringList() << Moves([](Play &p) {
               auto *max1 = p.get<QDoubleSpinBox>("doubleSpinBox_app1MaxThreshold");
               max1->setValue(240.0);
               p.get("pushButton_app1SetNewThresholds")->click();
               QVERIFY(p.driver.settle());
               QCOMPARE(max1->value(), 240.0);
               const int typed = p.holding(2);
               // Only the minimum changes: the maximum goes back as it is.
               p.get<QDoubleSpinBox>("doubleSpinBox_app1MinThreshold")->setValue(5.0);
               p.get("pushButton_app1SetNewThresholds")->click();
               QVERIFY(p.driver.settle());
               QCOMPARE(p.holding(2), typed);
               QCOMPARE(max1->value(), 240.0);
               p.get<QDoubleSpinBox>("doubleSpinBox_app2MinThreshold")->setValue(5.0);
               p.get("pushButton_app2SetNewThresholds")->click();
               QVERIFY(p.driver.settle());
               QCOMPARE(p.holding(4), 5130);
           });
    QTest::newRow("Enter in the confirmations sends nothing")
        << quiet << QStringList() << Moves([](Play &p) {
               const int mark = p.driver.mark();
               const auto enter = [](QMessageBox *box) {
                   QTest::keyClick(box, Qt::Key_Return);
               };
               answerNextBox(enter);
               p.get<QAction>("actionReset_device")->trigger();
               answerNextBox(enter);
               p.get("pushButton_updateSlaveConnectionParams")->click();
               QVERIFY(p.driver.settle());
               QCOMPARE(p.driver.requestsSince(mark, 0xff), QStringList());
               QCOMPARE(p.driver.writesSince(mark), QStringList());
           });
    QTest::newRow("Enter and then leaving the box write once")
        << quiet << QStringList() << Moves([](Play &p) {
               auto *emissivity = p.get<QSpinBox>("spinBox_emissivity");
               const int mark = p.driver.mark();
               emissivity->setValue(60);
               emit emissivity->editingFinished(); // Enter
               emit emissivity->editingFinished(); // and the box loses the focus
               QVERIFY(p.driver.settle());
               QCOMPARE(p.writesTo(mark, holdingWrite(9)).size(), 1);
               QCOMPARE(p.holding(9), 60);
           });
    QTest::newRow("orderly Disconnect during an image read")
        << quiet << QStringList{"--fault", "late:100,fc=4,addr=531"} << Moves([](Play &p) {
               StatusLog log(&p.driver.window());
               p.get("pushButton_getImage")->click();
               QTRY_VERIFY(!p.driver.requestsSince(0, 4)
                                .filter(QRegularExpression("^0104021300"))
                                .isEmpty());
               // The window lets go of the device at once: what it reports comes now.
               p.get("pushButton_Disconnect")->click();
               QCOMPARE(log.find("error"), -1);
           });
    QTest::newRow("a silent slave is probed once") << quiet << QStringList() << Moves([](Play &p) {
        p.driver.device()->setTimeout(200);
        p.get<QSpinBox>("spinBox_slaveSelect")->setValue(9);
        p.get("pushButton_SelectSlave")->click();
        QTRY_VERIFY(p.driver.window().statusBar()->currentMessage().startsWith("Could not"));
        QVERIFY(p.driver.settle());
        QCOMPARE(p.driver.requestsSince(0).filter(QRegularExpression("^0906000a03e8")).size(), 1);
    });
}

QTEST_MAIN(tst_FlowSettings)
#include "tst_flow_settings.moc"
