#include "briscadevice.h"
#include "mainwindow.h"
#include "windowdriver.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QJsonArray>
#include <QLabel>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

// The settings page against the virtual sensor: what Select slave shows, what each control
// writes and when, and which received values are written back.
class tst_MainWindowSettings : public QObject
{
    Q_OBJECT

private slots:
    void selectShowsTheSensorsValues();
    void temperatureChoice_data();
    void temperatureChoice();
    void unknownValuesWriteNothing_data();
    void unknownValuesWriteNothing();
    void switchesFollowCoilsWithoutWriting();
    void controlWrites_data();
    void controlWrites();
    void emissivityWaitsForEditingToFinish();
};

namespace {
const char *const MinimumEditors[] = {"doubleSpinBox_app1MinThreshold",
                                      "doubleSpinBox_app2MinThreshold",
                                      "doubleSpinBox_app3MinThreshold"};
const char *const MaximumEditors[] = {"doubleSpinBox_app1MaxThreshold",
                                      "doubleSpinBox_app2MaxThreshold",
                                      "doubleSpinBox_app3MaxThreshold"};

bool editorsEnabled(const WindowDriver &driver, const char *const (&names)[3], bool on)
{
    for (const char *name : names) {
        if (driver.child<QDoubleSpinBox>(name)->isEnabled() != on)
            return false;
    }
    return true;
}

QStringList withoutCrc(const QStringList &frames)
{
    QStringList result;
    for (const QString &frame : frames)
        result << frame.left(frame.size() - 4);
    return result;
}
} // namespace

void tst_MainWindowSettings::selectShowsTheSensorsValues()
{
    // Every value differs from the form's start state.
    const QJsonObject map{
        {"coils", QJsonArray{1, 0, 0, 0, 1, 1, 0, 1, 0, 1, 1, 0, 0}},
        {"holding", QJsonArray{7, 22, 3731, 2631, 3481, 2781, 3331, 2681, 1200, 42, 20, 7, 3, 3}}};
    WindowDriver driver;
    QVERIFY(driver.start(map, {"--fps", "0", "--slave", "7"}));
    QVERIFY(driver.connectAndSelect(7));

    QVERIFY(driver.child<QRadioButton>("radioButton_NoNcEnabled")->isChecked());
    QCOMPARE(driver.child<QRadioButton>("radioButton_NoNcEnabled")->text(), QString("ENABLED"));
    QCOMPARE(driver.child<QComboBox>("comboBox_alarmTimerBased")->currentText(),
             QString("Action based"));
    QVERIFY(!driver.child<QSpinBox>("spinBox_alarmDuration")->isEnabled());
    QCOMPARE(driver.child<QComboBox>("comboBox_outputBehavior")->currentText(), QString("N.O."));
    QCOMPARE(driver.child<QComboBox>("comboBox_trasnistorTypeSelection")->currentText(),
             QString("PNP"));
    QCOMPARE(driver.child<QComboBox>("comboBox_counterType")->currentText(),
             QString("Unidirectional"));
    QVERIFY(driver.child<QRadioButton>("radioButton_app1LimitFov")->isChecked());
    QVERIFY(driver.child<QRadioButton>("radioButton_frameAverageApps1And3")->isChecked());
    QVERIFY(driver.child<QRadioButton>("radioButton_frameAverageApps1And3_2")->isChecked());

    const struct
    {
        const char *button;
        const char *label;
        bool on;
    } switches[] = {{"radioButton_App1Enable", "label_app1PageApplicationOneEnabled", true},
                    {"radioButton_App2Enable", "label_app2PageApplicationTwoEnabled", false},
                    {"radioButton_App3Enable", "label_app3PageApplicationThreeEnabled", true}};
    for (const auto &s : switches) {
        const QString text = s.on ? "ENABLED" : "DISABLED";
        QCOMPARE(driver.child<QAbstractButton>(s.button)->isChecked(), s.on);
        QCOMPARE(driver.child<QAbstractButton>(s.button)->text(), s.on ? text : "DISABLED");
        if (s.on) {
            QCOMPARE(driver.child<QLabel>(s.label)->text(), text);
            QCOMPARE(driver.child<QLabel>(s.label)->styleSheet(),
                     QString("QLabel {color : #1e8e3e; }"));
        }
    }

    QCOMPARE(driver.child<QSpinBox>("spinBox_slaveAddrUpdate")->value(), 7);
    QCOMPARE(driver.child<QComboBox>("comboBox_baudrateUpdate")->currentText(), QString("19200"));
    QCOMPARE(driver.child<QComboBox>("comboBox_parityUpdate")->currentText(), QString("Even"));
    QCOMPARE(driver.child<QSpinBox>("spinBox_alarmDuration")->value(), 1200);
    QCOMPARE(driver.child<QSpinBox>("spinBox_emissivity")->value(), 42);
    QCOMPARE(driver.child<QComboBox>("comboBox_reticleSize")->currentText(), QString("20x20"));
    QCOMPARE(driver.child<QSpinBox>("spinBox_movingAverageWindow")->value(), 7);
    QCOMPARE(driver.child<QComboBox>("comboBox_gridROISize")->currentText(), QString("8x8"));
    QCOMPARE(driver.child<QComboBox>("comboBox_temperatureChoice")->currentText(),
             QString("Hot and Cold"));

    const double thresholds[] = {100.0, -10.0, 75.0, 5.0, 60.0, -5.0};
    const char *const editors[] = {MaximumEditors[0], MinimumEditors[0], MaximumEditors[1],
                                   MinimumEditors[1], MaximumEditors[2], MinimumEditors[2]};
    for (int i = 0; i < 6; ++i)
        QCOMPARE(driver.child<QDoubleSpinBox>(editors[i])->value(), thresholds[i]);
    QVERIFY(editorsEnabled(driver, MinimumEditors, true));
    QVERIFY(editorsEnabled(driver, MaximumEditors, true));

    // Each combo box and check button that the received data changed wrote the value back,
    // once (the two frame-average buttons mirror each other, hence twice); the application
    // switches and the spin boxes wrote nothing.
    const QStringList expected = {
        WindowDriver::coilWrite(7, 0, true),  WindowDriver::coilWrite(7, 1, false),
        WindowDriver::coilWrite(7, 2, false), WindowDriver::coilWrite(7, 3, false),
        WindowDriver::coilWrite(7, 9, true),  WindowDriver::coilWrite(7, 10, true),
        WindowDriver::coilWrite(7, 10, true), WindowDriver::coilWrite(7, 4, true),
        WindowDriver::holdingWrite(7, 13, 3), WindowDriver::holdingWrite(7, 10, 20),
        WindowDriver::holdingWrite(7, 12, 3)};
    QCOMPARE(withoutCrc(driver.writesSince(0)), expected);
}

void tst_MainWindowSettings::temperatureChoice_data()
{
    QTest::addColumn<int>("choice");
    QTest::addColumn<bool>("minimumEnabled");
    QTest::addColumn<bool>("maximumEnabled");
    QTest::addColumn<int>("writes");
    QTest::newRow("hot") << 1 << false << true << 0;
    QTest::newRow("cold") << 2 << true << false << 1;
    QTest::newRow("hot and cold") << 3 << true << true << 1;
    // Unknown choices leave every editor as the form started it.
    QTest::newRow("0") << 0 << true << true << 0;
    QTest::newRow("4") << 4 << true << true << 0;
}

void tst_MainWindowSettings::temperatureChoice()
{
    QFETCH(int, choice);
    QFETCH(bool, minimumEnabled);
    QFETCH(bool, maximumEnabled);
    QFETCH(int, writes);

    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::withValue(WindowDriver::quietMap(), "holding", 13, choice)));
    QVERIFY(driver.connectAndSelect());

    QVERIFY(editorsEnabled(driver, MinimumEditors, minimumEnabled));
    QVERIFY(editorsEnabled(driver, MaximumEditors, maximumEnabled));
    const QStringList written = driver.writesSince(0);
    QCOMPARE(written.size(), writes);
    if (writes)
        QVERIFY(written.first().startsWith(WindowDriver::holdingWrite(1, 13, choice)));
    if (choice < 1 || choice > 3)
        QCOMPARE(driver.child<QComboBox>("comboBox_temperatureChoice")->currentIndex(), -1);
    QCOMPARE(driver.sim().stateArray("holding").value(13, choice), choice);
}

void tst_MainWindowSettings::unknownValuesWriteNothing_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("comboBox");
    QTest::newRow("centred area 5") << 10 << 5 << "comboBox_reticleSize";
    QTest::newRow("centred area 34") << 10 << 34 << "comboBox_reticleSize";
    QTest::newRow("grid code 0") << 12 << 0 << "comboBox_gridROISize";
    QTest::newRow("grid code 5") << 12 << 5 << "comboBox_gridROISize";
    QTest::newRow("temperature choice 0") << 13 << 0 << "comboBox_temperatureChoice";
    QTest::newRow("temperature choice 9") << 13 << 9 << "comboBox_temperatureChoice";
}

void tst_MainWindowSettings::unknownValuesWriteNothing()
{
    QFETCH(int, address);
    QFETCH(int, value);
    QFETCH(QString, comboBox);

    WindowDriver driver;
    QVERIFY(
        driver.start(WindowDriver::withValue(WindowDriver::quietMap(), "holding", address, value)));
    QVERIFY(driver.connectAndSelect());

    // The combo box shows nothing rather than a wrong item, and the sensor keeps its value.
    QCOMPARE(driver.child<QComboBox>(qPrintable(comboBox))->currentIndex(), -1);
    QCOMPARE(driver.writesSince(0), QStringList());
}

void tst_MainWindowSettings::switchesFollowCoilsWithoutWriting()
{
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    QVERIFY(driver.connectAndSelect());
    auto *app2 = driver.child<QAbstractButton>("radioButton_App2Enable");
    auto *label = driver.child<QLabel>("label_app2PageApplicationTwoEnabled");
    QVERIFY(!app2->isChecked());

    QVERIFY(driver.sim().command("set coil 6 1"));
    const int mark = driver.mark();
    QSignalSpy coils(driver.device(), &BriscaDevice::coilsDataReady);
    driver.device()->readCoils(1);
    QVERIFY(coils.wait());

    QVERIFY(app2->isChecked());
    QCOMPARE(app2->text(), QString("ENABLED"));
    QCOMPARE(label->text(), QString("ENABLED"));
    QCOMPARE(label->styleSheet(), QString("QLabel {color : #1e8e3e; }"));
    QVERIFY(driver.settle());
    QCOMPARE(driver.writesSince(mark), QStringList());

    // Only the operator's click writes the coil.
    app2->click();
    QVERIFY(driver.settle());
    QCOMPARE(withoutCrc(driver.writesSince(mark)),
             QStringList{WindowDriver::coilWrite(1, 6, false)});
    QCOMPARE(label->text(), QString("DISABLED"));
    QCOMPARE(label->styleSheet(), QString("QLabel {color : #ff0000; }"));
    QCOMPARE(driver.sim().stateArray("coils").value(6), 0);
}

void tst_MainWindowSettings::controlWrites_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("table");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("value");
    QTest::newRow("output behaviour N.O.")
        << "comboBox_outputBehavior" << WindowDriver::coilWrite(1, 2, false) << "coils" << 2 << 0;
    QTest::newRow("transistor PNP") << "comboBox_trasnistorTypeSelection"
                                    << WindowDriver::coilWrite(1, 3, false) << "coils" << 3 << 0;
    QTest::newRow("action based") << "comboBox_alarmTimerBased"
                                  << WindowDriver::coilWrite(1, 1, false) << "coils" << 1 << 0;
    QTest::newRow("temperature choice cold")
        << "comboBox_temperatureChoice" << WindowDriver::holdingWrite(1, 13, 2) << "holding" << 13
        << 2;
    QTest::newRow("NO/NC enabled")
        << "radioButton_NoNcEnabled" << WindowDriver::coilWrite(1, 0, true) << "coils" << 0 << 1;
    QTest::newRow("application 1 on")
        << "radioButton_App1Enable" << WindowDriver::coilWrite(1, 5, true) << "coils" << 5 << 1;
    QTest::newRow("application 3 on")
        << "radioButton_App3Enable" << WindowDriver::coilWrite(1, 7, true) << "coils" << 7 << 1;
    QTest::newRow("alarm duration")
        << "spinBox_alarmDuration" << WindowDriver::holdingWrite(1, 8, 700) << "holding" << 8
        << 700;
}

void tst_MainWindowSettings::controlWrites()
{
    QFETCH(QString, control);
    QFETCH(QString, expected);
    QFETCH(QString, table);
    QFETCH(int, address);
    QFETCH(int, value);

    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    QVERIFY(driver.connectAndSelect());
    QWidget *widget = driver.child<QWidget>(qPrintable(control));
    QVERIFY(widget);

    if (auto *combo = qobject_cast<QComboBox *>(widget)) {
        combo->setCurrentIndex(1);
    } else if (auto *spin = qobject_cast<QSpinBox *>(widget)) {
        // A new value alone is not yet an edit: only leaving the field (Enter) writes.
        spin->setValue(value);
        QVERIFY(driver.settle());
        QCOMPARE(driver.writesSince(0), QStringList());
        QTest::keyClick(spin, Qt::Key_Return);
    } else {
        qobject_cast<QAbstractButton *>(widget)->click();
    }

    QVERIFY(driver.settle());
    QCOMPARE(withoutCrc(driver.writesSince(0)), QStringList{expected});
    QCOMPARE(driver.sim().stateArray(table).value(address, -1), value);

    if (control == "comboBox_alarmTimerBased") {
        QVERIFY(!driver.child<QSpinBox>("spinBox_alarmDuration")->isEnabled());
        driver.child<QComboBox>("comboBox_alarmTimerBased")->setCurrentIndex(0);
        QVERIFY(driver.child<QSpinBox>("spinBox_alarmDuration")->isEnabled());
    } else if (control == "radioButton_NoNcEnabled") {
        QCOMPARE(driver.child<QRadioButton>("radioButton_NoNcEnabled")->text(), QString("ENABLED"));
    } else if (control == "comboBox_temperatureChoice") {
        QVERIFY(editorsEnabled(driver, MinimumEditors, true));
        QVERIFY(editorsEnabled(driver, MaximumEditors, false));
    }
}

void tst_MainWindowSettings::emissivityWaitsForEditingToFinish()
{
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    QVERIFY(driver.connectAndSelect());
    auto *emissivity = driver.child<QSpinBox>("spinBox_emissivity");
    emissivity->setFocus();

    for (int i = 0; i < 3; ++i)
        QTest::keyClick(emissivity, Qt::Key_Up);
    QCOMPARE(emissivity->value(), 98);
    QVERIFY(driver.settle());
    QCOMPARE(driver.writesSince(0), QStringList());

    QTest::keyClick(emissivity, Qt::Key_Enter);
    QVERIFY(driver.settle());
    QCOMPARE(withoutCrc(driver.writesSince(0)), QStringList{WindowDriver::holdingWrite(1, 9, 98)});
    QCOMPARE(driver.sim().stateArray("holding").value(9), 98);
}

QTEST_MAIN(tst_MainWindowSettings)
#include "tst_mainwindow_settings.moc"
