#include "ui_mainwindow.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QMainWindow>
#include <QTest>
#include <QTextDocument>

// Stands in for the real window: a few slots named the way connection by name
// expects, each recording that it ran. Several of the watched signals fire while
// the form is built (items added, values set, the first page inserted), so a slot
// that ran during setupUi shows that the connections came too early.
class ProbeWindow : public QMainWindow
{
    Q_OBJECT

public:
    QStringList calls;

public slots:
    void on_stackedWidget_currentChanged(int) { calls << QStringLiteral("stackedWidget"); }
    void on_comboBox_baudrate_currentIndexChanged(int)
    {
        calls << QStringLiteral("comboBox_baudrate");
    }
    void on_comboBox_parityUpdate_currentIndexChanged(int)
    {
        calls << QStringLiteral("comboBox_parityUpdate");
    }
    void on_comboBox_reticleSize_currentIndexChanged(int)
    {
        calls << QStringLiteral("comboBox_reticleSize");
    }
    void on_spinBox_alarmDuration_valueChanged(int)
    {
        calls << QStringLiteral("spinBox_alarmDuration");
    }
    void on_radioButton_App1Enable_toggled(bool)
    {
        calls << QStringLiteral("radioButton_App1Enable");
    }
    void on_actionReset_device_triggered() { calls << QStringLiteral("actionReset_device"); }
};

// Paragraphs of a rich text as the operator reads them, one per line.
static QString plain(const QString &richText)
{
    QTextDocument document;
    document.setHtml(richText);
    return document.toPlainText();
}

class tst_MainWindowForm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void objectClass_data();
    void objectClass();
    void noSlotRunsDuringSetup();
    void signalsReachableByName_data();
    void signalsReachableByName();
    void pages();
    void startState();
    void comboItems_data();
    void comboItems();
    void spinBoxRange_data();
    void spinBoxRange();
    void thresholdBoxes();
    void appRadioButtonsUncheckIndependently();
    void texts_data();
    void texts();
    void fonts_data();
    void fonts();
    void gridPositions_data();
    void gridPositions();
    void formRows_data();
    void formRows();

private:
    template <typename T> T *child(const QString &name)
    {
        auto *found = m_window->findChild<T *>(name);
        if (!found)
            qWarning("no %s named %s", T::staticMetaObject.className(), qPrintable(name));
        return found;
    }

    ProbeWindow *m_window = nullptr;
    Ui::MainWindow *m_ui = nullptr;
};

void tst_MainWindowForm::init()
{
    m_window = new ProbeWindow;
    m_ui = new Ui::MainWindow;
    m_ui->setupUi(m_window);
}

void tst_MainWindowForm::cleanup()
{
    delete m_ui;
    m_ui = nullptr;
    delete m_window;
    m_window = nullptr;
}

void tst_MainWindowForm::objectClass_data()
{
    QTest::addColumn<QString>("className");
    const QVector<QPair<const char *, QStringList>> classes = {
        {"QMainWindow", {"MainWindow"}},
        {"QAction", {"actionLicense", "actionProduct_page", "actionReset_device"}},
        {"QMenuBar", {"menubar"}},
        {"QMenu", {"menuAbout", "menuTools"}},
        {"QStatusBar", {"statusbar"}},
        {"QStackedWidget", {"stackedWidget"}},
        {"QWidget",
         {"centralwidget", "menuPage", "settingsPage", "application1Page", "application2Page",
          "application3Page"}},
        {"QFrame", {"frame",    "frame_9",  "frame_updateSelectedSlaveConnectionParams",
                    "frame_3",  "frame1",   "frame_4",
                    "frame_10", "frame_16", "frame2",
                    "line_7",   "line_11",  "line_4",
                    "line_5",   "line_6",   "line",
                    "line_8",   "line_2",   "line_9",
                    "line_3",   "line_10"}},
        {"QPushButton",
         {"pushButton_Connection",
          "pushButton_Settings",
          "pushButton_Application1",
          "pushButton_Application2",
          "pushButton_Application3",
          "pushButton_connect",
          "pushButton_Disconnect",
          "pushButton_SelectSlave",
          "pushButton_updateSlaveConnectionParams",
          "pushButton_app1SetNewThresholds",
          "pushButton_clearNONCapp1",
          "pushButton_app1UpdateData",
          "pushButton_getImage",
          "pushButton_cycleMode",
          "pushButton_app2SetNewThresholds",
          "pushButton_clearNONCapp1_2",
          "pushButton_app2UpdateData",
          "pushButton_app2GetImage",
          "pushButton_cycleMode1",
          "pushButton_app3SetNewThresholds",
          "pushButton_resetApp3Counter",
          "pushButton_clearNONCapp1_3",
          "pushButton_app3UpdateData",
          "pushButton_app3GetImage",
          "pushButton_cycleMode3"}},
        {"QLineEdit", {"lineEdit_portname"}},
        {"QComboBox",
         {"comboBox_baudrate", "comboBox_parity", "comboBox_baudrateUpdate",
          "comboBox_parityUpdate", "comboBox_outputBehavior", "comboBox_trasnistorTypeSelection",
          "comboBox_temperatureChoice", "comboBox_alarmTimerBased", "comboBox_reticleSize",
          "comboBox_gridROISize", "comboBox_counterType"}},
        {"QSpinBox",
         {"spinBox_slaveSelect", "spinBox_slaveAddrUpdate", "spinBox_alarmDuration",
          "spinBox_emissivity", "spinBox_movingAverageWindow"}},
        {"QDoubleSpinBox",
         {"doubleSpinBox_app1MinThreshold", "doubleSpinBox_app1MaxThreshold",
          "doubleSpinBox_app2MinThreshold", "doubleSpinBox_app2MaxThreshold",
          "doubleSpinBox_app3MinThreshold", "doubleSpinBox_app3MaxThreshold"}},
        {"QRadioButton",
         {"radioButton_NoNcEnabled", "radioButton_frameAverageApps1And3",
          "radioButton_app1LimitFov", "radioButton_frameAverageApps1And3_2"}},
        {"Switch", {"radioButton_App1Enable", "radioButton_App2Enable", "radioButton_App3Enable"}},
        {"image", {"tempPlot_app1", "tempPlot_app2", "tempPlot_app3"}},
        {"QLabel",
         {"label",
          "label_10",
          "label_42",
          "label_11",
          "label_3",
          "label_9",
          "label_24",
          "label_6",
          "label_5",
          "label_30",
          "label_33",
          "label_12",
          "label_19",
          "label_14",
          "label_13",
          "applicationsThresholdLabel",
          "alarmTypeLabel",
          "alarmDurationMsLabel",
          "emissivityLabel",
          "label_21",
          "label_2",
          "label_7",
          "label_8",
          "label_4",
          "label_26",
          "label_app1PageApplicationOneEnabled",
          "label_22",
          "label_16",
          "label_17",
          "label_25",
          "label_18",
          "minCLabel",
          "label_app1MeasuredMin",
          "label_app1MinCoordinates",
          "label_15",
          "label_app1MeasuredAvg",
          "maxCLabel",
          "label_app1MeasuredMax",
          "label_app1MaxCoordinates",
          "label_35",
          "label_app1PageApplicationOneStatus",
          "label_31",
          "label_32",
          "label_app2PageApplicationTwoEnabled",
          "label_23",
          "reticleSizeLabel",
          "movingAverageWindowLabel",
          "label_28",
          "label_38",
          "label_27",
          "minCLabel_2",
          "label_41",
          "label_app2MeasuredAvg",
          "maxCLabel_2",
          "label_36",
          "label_app2PageApplicationTwoStatus",
          "label_60",
          "label_63",
          "label_app3PageApplicationThreeEnabled",
          "label_40",
          "gridROISizePxXPxLabel",
          "label_62",
          "minCLabel_4",
          "maxCLabel_4",
          "label_39",
          "label_34",
          "label_app3HighestBreachTemp",
          "label_29",
          "label_app3PageHighestBreachCoords",
          "label_20",
          "label_app3CounterValue",
          "counterTypeLabel",
          "label_37",
          "label_app3PageApplicationThreeStatus"}},
    };
    for (const auto &entry : classes) {
        for (const QString &name : entry.second)
            QTest::newRow(qPrintable(name)) << QString::fromLatin1(entry.first);
    }
}

void tst_MainWindowForm::objectClass()
{
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    QFETCH(QString, className);
    QList<QObject *> found = m_window->findChildren<QObject *>(name);
    if (m_window->objectName() == name)
        found << m_window;
    // Handlers are found by object name, so a name must belong to exactly one object.
    QCOMPARE(found.size(), 1);
    const QMetaObject *meta = found.first()->metaObject();
    // The stand-in window is a subclass; the form only has to give it its name.
    if (found.first() == m_window)
        meta = meta->superClass();
    // The plot class carries no meta-object of its own, so it is recognised by type.
    if (className == QLatin1String("image")) {
        QVERIFY(dynamic_cast<image *>(found.first()));
        return;
    }
    QCOMPARE(QString::fromLatin1(meta->className()), className);
}

void tst_MainWindowForm::noSlotRunsDuringSetup()
{
    QVERIFY2(m_window->calls.isEmpty(), qPrintable(m_window->calls.join(QLatin1Char(' '))));

    // ...and yet the connections exist once setupUi has returned.
    m_ui->stackedWidget->setCurrentIndex(1);
    m_ui->comboBox_baudrate->setCurrentIndex(0);
    m_ui->comboBox_parityUpdate->setCurrentIndex(2);
    m_ui->comboBox_reticleSize->setCurrentIndex(3);
    m_ui->spinBox_alarmDuration->setValue(300);
    m_ui->radioButton_App1Enable->setChecked(true);
    m_ui->actionReset_device->setEnabled(true);
    m_ui->actionReset_device->trigger();
    QCOMPARE(m_window->calls,
             QStringList({"stackedWidget", "comboBox_baudrate", "comboBox_parityUpdate",
                          "comboBox_reticleSize", "spinBox_alarmDuration", "radioButton_App1Enable",
                          "actionReset_device"}));
}

void tst_MainWindowForm::signalsReachableByName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("signal");
    const QVector<QPair<const char *, QStringList>> bySignal = {
        {"toggled(bool)",
         {"pushButton_Connection", "pushButton_Settings", "pushButton_Application1",
          "pushButton_Application2", "pushButton_Application3", "radioButton_NoNcEnabled",
          "radioButton_App1Enable", "radioButton_App2Enable", "radioButton_App3Enable",
          "pushButton_cycleMode", "pushButton_cycleMode1", "pushButton_cycleMode3",
          "radioButton_frameAverageApps1And3", "radioButton_frameAverageApps1And3_2",
          "radioButton_app1LimitFov"}},
        {"clicked(bool)",
         {"radioButton_App1Enable", "radioButton_App2Enable", "radioButton_App3Enable"}},
        {"clicked()",
         {"pushButton_connect", "pushButton_Disconnect", "pushButton_SelectSlave",
          "pushButton_updateSlaveConnectionParams", "pushButton_app1SetNewThresholds",
          "pushButton_app2SetNewThresholds", "pushButton_app3SetNewThresholds",
          "pushButton_app1UpdateData", "pushButton_app2UpdateData", "pushButton_app3UpdateData",
          "pushButton_getImage", "pushButton_app2GetImage", "pushButton_app3GetImage",
          "pushButton_clearNONCapp1", "pushButton_clearNONCapp1_2", "pushButton_clearNONCapp1_3",
          "pushButton_resetApp3Counter"}},
        {"currentIndexChanged(int)",
         {"comboBox_outputBehavior", "comboBox_trasnistorTypeSelection",
          "comboBox_temperatureChoice", "comboBox_alarmTimerBased", "comboBox_reticleSize",
          "comboBox_gridROISize", "comboBox_counterType"}},
        {"editingFinished()",
         {"spinBox_alarmDuration", "spinBox_emissivity", "spinBox_movingAverageWindow"}},
        {"triggered()", {"actionLicense", "actionProduct_page", "actionReset_device"}},
    };
    for (const auto &entry : bySignal) {
        for (const QString &name : entry.second)
            QTest::newRow(qPrintable(name + QLatin1Char(' ') + QLatin1String(entry.first)))
                << name << QString::fromLatin1(entry.first);
    }
}

void tst_MainWindowForm::signalsReachableByName()
{
    QFETCH(QString, name);
    QFETCH(QString, signal);
    const QObject *object = m_window->findChild<QObject *>(name);
    QVERIFY(object);
    const QByteArray normalized = QMetaObject::normalizedSignature(signal.toLatin1().constData());
    QVERIFY2(object->metaObject()->indexOfSignal(normalized.constData()) >= 0,
             normalized.constData());
}

void tst_MainWindowForm::pages()
{
    const QStringList order = {"menuPage", "settingsPage", "application1Page", "application2Page",
                               "application3Page"};
    QCOMPARE(m_ui->stackedWidget->count(), order.size());
    for (int i = 0; i < order.size(); ++i)
        QCOMPARE(m_ui->stackedWidget->widget(i)->objectName(), order.at(i));
    QCOMPARE(m_ui->stackedWidget->currentIndex(), 0);
    QCOMPARE(m_window->centralWidget(), m_ui->centralwidget);
    QCOMPARE(m_window->menuBar(), m_ui->menubar);
    QCOMPARE(m_window->statusBar(), m_ui->statusbar);
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Velmora Brisca"));
    QCOMPARE(m_window->size(), QSize(1132, 896));
    QCOMPARE(m_window->palette().color(QPalette::Inactive, QPalette::Window), QColor(Qt::white));

    const QList<QAction *> menus = m_ui->menubar->actions();
    QCOMPARE(menus.size(), 2);
    QCOMPARE(menus.at(0)->menu(), m_ui->menuAbout);
    QCOMPARE(menus.at(1)->menu(), m_ui->menuTools);
    QCOMPARE(m_ui->menuAbout->actions(),
             QList<QAction *>({m_ui->actionLicense, m_ui->actionProduct_page}));
    QCOMPARE(m_ui->menuTools->actions(), QList<QAction *>({m_ui->actionReset_device}));
    QCOMPARE(m_ui->actionReset_device->parent(), m_window);
    // The logo comes from the program's resources; a wrong path leaves an empty label.
    QVERIFY(!m_ui->label_10->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY(m_ui->label_10->hasScaledContents());
    QCOMPARE(m_ui->label_10->maximumSize(), QSize(220, 40));
}

void tst_MainWindowForm::startState()
{
    // Navigation: only the connection page is reachable, nothing checked, and the
    // window (not the buttons) decides which one is checked.
    const QList<QPushButton *> nav = {m_ui->pushButton_Connection, m_ui->pushButton_Settings,
                                      m_ui->pushButton_Application1, m_ui->pushButton_Application2,
                                      m_ui->pushButton_Application3};
    for (QPushButton *button : nav) {
        QVERIFY(button->isCheckable());
        QVERIFY(!button->isChecked());
        QVERIFY(!button->autoExclusive());
        QCOMPARE(button->isEnabled(), button == m_ui->pushButton_Connection);
        QVERIFY(!button->group());
    }

    // Connection page: Connect is the only usable button.
    QCOMPARE(m_ui->lineEdit_portname->text(), QStringLiteral("COM5"));
    QVERIFY(m_ui->pushButton_connect->isEnabled());
    QVERIFY(!m_ui->pushButton_Disconnect->isEnabled());
    QVERIFY(!m_ui->pushButton_SelectSlave->isEnabled());
    QVERIFY(!m_ui->frame_updateSelectedSlaveConnectionParams->isEnabled());
    QVERIFY(!m_ui->pushButton_updateSlaveConnectionParams->isEnabled());

    // Settings page: the application enables and their descriptions are locked.
    for (QAbstractButton *sw : {static_cast<QAbstractButton *>(m_ui->radioButton_App1Enable),
                                static_cast<QAbstractButton *>(m_ui->radioButton_App2Enable),
                                static_cast<QAbstractButton *>(m_ui->radioButton_App3Enable)}) {
        QVERIFY(!sw->isEnabled());
        QVERIFY(!sw->isChecked());
        QVERIFY(sw->isCheckable());
        QVERIFY(!sw->autoExclusive());
        QCOMPARE(sw->text(), QStringLiteral("DISABLED"));
    }
    for (QLabel *label : {m_ui->label_2, m_ui->label_7, m_ui->label_8}) {
        QVERIFY(!label->isEnabled());
        QVERIFY(label->wordWrap());
    }
    QVERIFY(!m_ui->radioButton_NoNcEnabled->isChecked());
    QVERIFY(m_ui->radioButton_NoNcEnabled->autoExclusive());
    QCOMPARE(m_ui->radioButton_NoNcEnabled->text(), QStringLiteral("DISABLED"));
    QVERIFY(m_ui->spinBox_alarmDuration->isEnabled());
    QVERIFY(!m_ui->actionReset_device->isEnabled());
    QVERIFY(m_ui->actionLicense->isEnabled());
    QVERIFY(m_ui->actionProduct_page->isEnabled());

    // Application pages: locked state labels, zeroed measurements, nothing running.
    for (QLabel *label :
         {m_ui->label_app1PageApplicationOneEnabled, m_ui->label_app2PageApplicationTwoEnabled,
          m_ui->label_app3PageApplicationThreeEnabled}) {
        QVERIFY(!label->isEnabled());
        QCOMPARE(plain(label->text()), QStringLiteral("DISABLED"));
        QVERIFY2(label->text().contains(QLatin1String("#ff0000")), "disabled state shows in red");
    }
    for (QLabel *label :
         {m_ui->label_app1PageApplicationOneStatus, m_ui->label_app2PageApplicationTwoStatus,
          m_ui->label_app3PageApplicationThreeStatus}) {
        QVERIFY(!label->isEnabled());
        QCOMPARE(plain(label->text()), QStringLiteral("FALSE"));
        QVERIFY2(label->text().contains(QLatin1String("#1e8e3e")), "no alarm shows in green");
    }
    for (QLabel *label :
         {m_ui->label_app1MeasuredMin, m_ui->label_app1MeasuredAvg, m_ui->label_app1MeasuredMax,
          m_ui->label_app2MeasuredAvg, m_ui->label_app3HighestBreachTemp,
          m_ui->label_app3PageHighestBreachCoords, m_ui->label_app3CounterValue})
        QCOMPARE(label->text(), QStringLiteral("0"));
    QCOMPARE(m_ui->label_app1MinCoordinates->text(), QStringLiteral("(0,0)"));
    QCOMPARE(m_ui->label_app1MaxCoordinates->text(), QStringLiteral("(0,0)"));
    for (QPushButton *cycle :
         {m_ui->pushButton_cycleMode, m_ui->pushButton_cycleMode1, m_ui->pushButton_cycleMode3}) {
        QVERIFY(cycle->isCheckable());
        QVERIFY(!cycle->isChecked());
    }
    QVERIFY(!m_ui->pushButton_getImage->isCheckable());
}

void tst_MainWindowForm::comboItems_data()
{
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<int>("current");
    const QStringList rates = {"1200",  "2400",  "4800",  "9600",   "14400",  "19200", "28800",
                               "38400", "56000", "57600", "115200", "128000", "256000"};
    const QStringList parities = {"None", "Even", "Odd"};
    QStringList reticles;
    for (int side = 2; side <= 32; side += 2)
        reticles << QStringLiteral("%1x%1").arg(side);
    QTest::newRow("comboBox_baudrate") << rates << 5;
    QTest::newRow("comboBox_baudrateUpdate") << rates << 5;
    QTest::newRow("comboBox_parity") << parities << 1;
    QTest::newRow("comboBox_parityUpdate") << parities << 1;
    QTest::newRow("comboBox_outputBehavior") << QStringList({"N.C.", "N.O."}) << 0;
    QTest::newRow("comboBox_trasnistorTypeSelection") << QStringList({"NPN", "PNP"}) << 0;
    QTest::newRow("comboBox_temperatureChoice")
        << QStringList({"Hot", "Cold", "Hot and Cold"}) << 0;
    QTest::newRow("comboBox_alarmTimerBased") << QStringList({"Timer based", "Action based"}) << 0;
    QTest::newRow("comboBox_reticleSize") << reticles << 0;
    QTest::newRow("comboBox_gridROISize") << QStringList({"2x2", "4x4", "8x8", "16x16"}) << 0;
    QTest::newRow("comboBox_counterType") << QStringList({"Bidirectional", "Unidirectional"}) << 0;
}

void tst_MainWindowForm::comboItems()
{
    QFETCH(QStringList, items);
    QFETCH(int, current);
    auto *box = child<QComboBox>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(box);
    QStringList shown;
    for (int i = 0; i < box->count(); ++i)
        shown << box->itemText(i);
    QCOMPARE(shown, items);
    QCOMPARE(box->currentIndex(), current);
    QVERIFY(!box->isEditable());
}

void tst_MainWindowForm::spinBoxRange_data()
{
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("start");
    QTest::newRow("spinBox_slaveSelect") << 1 << 247 << 1;
    QTest::newRow("spinBox_slaveAddrUpdate") << 1 << 247 << 1;
    QTest::newRow("spinBox_alarmDuration") << 50 << 2000 << 250;
    QTest::newRow("spinBox_emissivity") << 1 << 100 << 95;
    QTest::newRow("spinBox_movingAverageWindow") << 1 << 16 << 10;
}

void tst_MainWindowForm::spinBoxRange()
{
    QFETCH(int, minimum);
    QFETCH(int, maximum);
    QFETCH(int, start);
    auto *box = child<QSpinBox>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(box);
    QCOMPARE(box->value(), start);
    QVERIFY(!box->isReadOnly());

    // What the operator types outside the range never becomes the value.
    int pos = 0;
    QString typed = QString::number(maximum + 1);
    QVERIFY(static_cast<QAbstractSpinBox *>(box)->validate(typed, pos) != QValidator::Acceptable);
    typed = QString::number(minimum - 1);
    QVERIFY(static_cast<QAbstractSpinBox *>(box)->validate(typed, pos) != QValidator::Acceptable);
    typed = QString::number(maximum);
    QCOMPARE(static_cast<QAbstractSpinBox *>(box)->validate(typed, pos), QValidator::Acceptable);
    typed = QString::number(minimum);
    QCOMPARE(static_cast<QAbstractSpinBox *>(box)->validate(typed, pos), QValidator::Acceptable);

    box->setValue(minimum - 1);
    QCOMPARE(box->value(), minimum);
    box->setValue(maximum + 1);
    QCOMPARE(box->value(), maximum);
}

void tst_MainWindowForm::thresholdBoxes()
{
    const QList<QDoubleSpinBox *> boxes = {
        m_ui->doubleSpinBox_app1MinThreshold, m_ui->doubleSpinBox_app1MaxThreshold,
        m_ui->doubleSpinBox_app2MinThreshold, m_ui->doubleSpinBox_app2MaxThreshold,
        m_ui->doubleSpinBox_app3MinThreshold, m_ui->doubleSpinBox_app3MaxThreshold};
    for (QDoubleSpinBox *box : boxes) {
        QCOMPARE(box->value(), 0.0);
        QCOMPARE(box->decimals(), 1);
        QCOMPARE(box->alignment(), Qt::AlignCenter);
        QCOMPARE(box->text(), box->locale().toString(0.0, 'f', 1));

        box->setValue(-20.0);
        QCOMPARE(box->value(), -20.0);
        box->setValue(670.0);
        QCOMPARE(box->value(), 670.0);
        box->setValue(670.5);
        QCOMPARE(box->value(), 670.0);
        box->setValue(-20.5);
        QCOMPARE(box->value(), -20.0);

        box->stepBy(1);
        QCOMPARE(box->value(), -19.5);
        box->setValue(12.34);
        QCOMPARE(box->value(), 12.3); // one decimal kept, the rest rounded away
    }
}

void tst_MainWindowForm::appRadioButtonsUncheckIndependently()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    const QList<QRadioButton *> radios = {m_ui->radioButton_frameAverageApps1And3,
                                          m_ui->radioButton_app1LimitFov,
                                          m_ui->radioButton_frameAverageApps1And3_2};
    for (QRadioButton *radio : radios) {
        QWidget *page = radio;
        while (page->parentWidget() != m_ui->stackedWidget)
            page = page->parentWidget();
        m_ui->stackedWidget->setCurrentWidget(page);
        radio->click();
        QVERIFY(radio->isChecked());
    }
    // All three checked at once: none of them knocks out another.
    for (QRadioButton *radio : radios)
        QVERIFY(radio->isChecked());
    m_ui->stackedWidget->setCurrentWidget(m_ui->application1Page);
    m_ui->radioButton_app1LimitFov->click();
    QVERIFY(!m_ui->radioButton_app1LimitFov->isChecked());
    QVERIFY(m_ui->radioButton_frameAverageApps1And3->isChecked());
    QVERIFY(m_ui->radioButton_frameAverageApps1And3_2->isChecked());
}

void tst_MainWindowForm::texts_data()
{
    QTest::addColumn<QString>("property");
    QTest::addColumn<QString>("expected");
    auto row = [](const char *name, const char *property, const QString &expected) {
        QTest::newRow(
            qPrintable(QStringLiteral("%1 %2").arg(QLatin1String(name), QLatin1String(property))))
            << QString::fromLatin1(property) << expected;
    };
    const QString portTail =
        QStringLiteral("For Windows:\nTo find the port, open Device Manager and scan for updates "
                       "in the Ports section while you "
                       "connect the converter.\nStart->Device Manager->Ports (COM & LPT)\n");
    const QString linux = QStringLiteral("For Linux:\nOpen terminal (CTRL + ALT + T by default, "
                                         "otherwise can be opened via search)\ntype ls "
                                         "/dev/tty* and look for any new ttyUSBx or ttyACMx ports "
                                         "after plugging in the converter\nwhere \"x\" is a "
                                         "number. Example port: /dev/ttyUSB0 or /dev/ttyACM0");
    const QString first =
        QStringLiteral("Select the port to which the RS485 to USB converter is connected.");
    row("lineEdit_portname", "toolTip",
        first + QStringLiteral(" Please note that the port name is case sensitive.\n") + portTail +
            QStringLiteral("Example port: COM5 \n") + linux);
    row("label_11", "toolTip",
        first + QLatin1Char('\n') + portTail + QStringLiteral("Example port: COM5\n") + linux);
    row("label_11", "text", QStringLiteral("Port (ℹ)"));
    row("label_3", "text", QStringLiteral("Baudrate (ℹ)"));
    row("label_9", "text", QStringLiteral("Parity (ℹ)"));
    row("label_42", "text", QStringLiteral("Network connection (ℹ)"));
    row("label_6", "text", QStringLiteral("Update selected slave connection parameters (ℹ)"));
    row("label_12", "text", QStringLiteral("Electrical NO/NC output (ℹ)"));
    row("emissivityLabel", "text", QStringLiteral("Emissivity [%] (ℹ)"));
    row("comboBox_parity", "toolTip",
        QStringLiteral("Select the parity of the bus (default Even)"));
    row("label_6", "toolTip",
        QStringLiteral(
            "This section handles the process of updating the connection parameters of the "
            "currently "
            "selected device (as selected in the Slave select field). Select the new desired "
            "parameters "
            "below and press Update. A small pop-up will appear asking for confirmation. Once the "
            "text "
            "is read and understood, confirm the action and the parameters will be updated. \n"
            "Important: to continue communicating with the same device, the Network connectionand "
            "Slave select parameters on the left will need to be updated to match the new ones."));
    row("comboBox_trasnistorTypeSelection", "toolTip",
        QStringLiteral("NPN = sinking output\nPNP = sourcing output"));
    row("label_2", "text",
        QStringLiteral("Application 1 - Temperature Threshold Alarm \n(triggered by min/ max "
                       "temperature over the "
                       "available Field of View)"));
    row("label_26", "toolTip",
        QStringLiteral("You can enable/disable the application from the Settings page."));
    row("label_40", "toolTip",
        QStringLiteral("You can enable/disable the application from the Settings page."));
    row("label_17", "text", QStringLiteral("Temperature\n[°C]"));
    row("label_25", "text", QStringLiteral("Coordinates\n[x,y]"));
    row("label_34", "text", QStringLiteral("Highest delta breach\nhotspot temperature [°C] (ℹ)"));
    row("radioButton_frameAverageApps1And3_2", "toolTip",
        QStringLiteral(
            "If checked, the 4 frame moving average filter (temporal) is activated. This will "
            "smotheen "
            "up the image and provide more stable data.\nNote: this will also be applied to "
            "Application 1"));
    row("label_app3CounterValue", "toolTip",
        QStringLiteral("This value represents the counter value for hotspots in Application 3. It "
                       "simply counts the "
                       "number of areas that exceed the threshold(s). "));
    row("comboBox_counterType", "toolTip",
        QStringLiteral(
            "Defines how the counter in input register 24 behaves\nUnidirectional = counting only "
            "up "
            "until max value is reached or counter is reset\nBidirectional = counting up/down per "
            "single frame"));
    row("label_60", "text", QStringLiteral("Counting and monitoring of Regions of Interest (ROI)"));
    // No tool tip where the operator gets nothing from one.
    row("radioButton_NoNcEnabled", "toolTip", QString());
    row("radioButton_App2Enable", "toolTip", QString());
    row("doubleSpinBox_app1MinThreshold", "toolTip", QString());
    row("tempPlot_app3", "toolTip", QString());
}

void tst_MainWindowForm::texts()
{
    QFETCH(QString, property);
    QFETCH(QString, expected);
    const QString name =
        QString::fromLatin1(QTest::currentDataTag()).section(QLatin1Char(' '), 0, 0);
    auto *widget = child<QWidget>(name);
    QVERIFY(widget);
    const QString value = widget->property(property.toLatin1().constData()).toString();
    QCOMPARE(Qt::mightBeRichText(value) ? plain(value) : value, expected);
}

void tst_MainWindowForm::fonts_data()
{
    QTest::addColumn<int>("pointSize");
    QTest::addColumn<bool>("bold");
    QTest::newRow("label") << 16 << true;
    QTest::newRow("label_42") << 11 << false;
    QTest::newRow("label_24") << 11 << false;
    QTest::newRow("label_12") << 10 << true;
    QTest::newRow("radioButton_NoNcEnabled") << 8 << true;
    QTest::newRow("label_21") << 14 << true;
    QTest::newRow("radioButton_App1Enable") << 12 << false;
    QTest::newRow("radioButton_App3Enable") << 12 << false;
    QTest::newRow("label_app2PageApplicationTwoEnabled") << 12 << true;
    QTest::newRow("label_app3PageApplicationThreeStatus") << 12 << true;
}

void tst_MainWindowForm::fonts()
{
    QFETCH(int, pointSize);
    QFETCH(bool, bold);
    auto *widget = child<QWidget>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(widget);
    QCOMPARE(widget->font().pointSize(), pointSize);
    QCOMPARE(widget->font().bold(), bold);
}

void tst_MainWindowForm::gridPositions_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("rowSpan");
    QTest::addColumn<int>("columnSpan");
    QTest::newRow("frame_9") << 0 << 0 << 1 << 2;
    QTest::newRow("frame_updateSelectedSlaveConnectionParams") << 0 << 2 << 1 << 1;
    QTest::newRow("label_42") << 1 << 0 << 1 << 5;
    QTest::newRow("line_7") << 1 << 5 << 4 << 1;
    QTest::newRow("label_24") << 1 << 6 << 1 << 1;
    QTest::newRow("lineEdit_portname") << 2 << 1 << 1 << 1;
    QTest::newRow("spinBox_slaveSelect") << 2 << 6 << 1 << 1;
    QTest::newRow("pushButton_connect") << 3 << 3 << 1 << 1;
    QTest::newRow("pushButton_SelectSlave") << 3 << 6 << 1 << 1;
    QTest::newRow("pushButton_Disconnect") << 4 << 3 << 1 << 1;
    QTest::newRow("frame1") << 1 << 0 << 1 << 3;
    QTest::newRow("radioButton_App2Enable") << 5 << 4 << 1 << 1;
    QTest::newRow("label_8") << 8 << 0 << 1 << 4;
    QTest::newRow("line_6") << 9 << 0 << 1 << 5;
    QTest::newRow("label_4") << 0 << 0 << 1 << 2;
    QTest::newRow("tempPlot_app1") << 1 << 1 << 1 << 1;
    QTest::newRow("tempPlot_app3") << 1 << 1 << 2 << 1;
    QTest::newRow("line_8") << 0 << 2 << 6 << 1;
    QTest::newRow("label_18") << 0 << 3 << 1 << 2;
    QTest::newRow("label_app1MaxCoordinates") << 4 << 4 << 1 << 1;
    QTest::newRow("pushButton_app1SetNewThresholds") << 5 << 1 << 1 << 1;
    QTest::newRow("label_app2MeasuredAvg") << 3 << 3 << 1 << 1;
    QTest::newRow("label_app3PageApplicationThreeStatus") << 0 << 1 << 1 << 1;
    QTest::newRow("pushButton_clearNONCapp1_3") << 1 << 1 << 1 << 1;
    QTest::newRow("line_10") << 6 << 0 << 1 << 2;
    QTest::newRow("label_app3PageHighestBreachCoords") << 9 << 1 << 1 << 1;
}

void tst_MainWindowForm::gridPositions()
{
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(int, rowSpan);
    QFETCH(int, columnSpan);
    auto *widget = child<QWidget>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(widget);
    // The cell is found in whichever grid of the widget's parent holds it.
    const QList<QGridLayout *> grids = widget->parentWidget()->findChildren<QGridLayout *>();
    for (QGridLayout *grid : grids) {
        const int index = grid->indexOf(widget);
        if (index < 0)
            continue;
        int r, c, rs, cs;
        grid->getItemPosition(index, &r, &c, &rs, &cs);
        QCOMPARE(QVector<int>({r, c, rs, cs}), QVector<int>({row, column, rowSpan, columnSpan}));
        return;
    }
    QFAIL("not placed in a grid");
}

void tst_MainWindowForm::formRows_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("role");
    QTest::newRow("label_6") << 0 << int(QFormLayout::SpanningRole);
    QTest::newRow("comboBox_baudrateUpdate") << 4 << int(QFormLayout::FieldRole);
    QTest::newRow("label_30") << 5 << int(QFormLayout::LabelRole);
    QTest::newRow("spinBox_slaveAddrUpdate") << 7 << int(QFormLayout::FieldRole);
    QTest::newRow("pushButton_updateSlaveConnectionParams") << 8 << int(QFormLayout::FieldRole);
    QTest::newRow("label_12") << 2 << int(QFormLayout::LabelRole);
    QTest::newRow("radioButton_NoNcEnabled") << 2 << int(QFormLayout::FieldRole);
    QTest::newRow("comboBox_trasnistorTypeSelection") << 1 << int(QFormLayout::FieldRole);
    QTest::newRow("spinBox_alarmDuration") << 1 << int(QFormLayout::FieldRole);
    QTest::newRow("radioButton_app1LimitFov") << 1 << int(QFormLayout::SpanningRole);
    QTest::newRow("radioButton_frameAverageApps1And3_2") << 1 << int(QFormLayout::SpanningRole);
    QTest::newRow("spinBox_movingAverageWindow") << 1 << int(QFormLayout::FieldRole);
}

void tst_MainWindowForm::formRows()
{
    QFETCH(int, row);
    QFETCH(int, role);
    auto *widget = child<QWidget>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(widget);
    const QList<QFormLayout *> forms = widget->parentWidget()->findChildren<QFormLayout *>();
    for (QFormLayout *form : forms) {
        int r = -1;
        QFormLayout::ItemRole itemRole;
        form->getWidgetPosition(widget, &r, &itemRole);
        if (r < 0)
            continue;
        QCOMPARE(r, row);
        QCOMPARE(int(itemRole), role);
        return;
    }
    QFAIL("not placed in a form layout");
}

QTEST_MAIN(tst_MainWindowForm)
#include "tst_mainwindowform.moc"
