#include "briscaregisters.h"
#include "ui_mainwindow.h"

#include <QMainWindow>
#include <QTest>

#include <memory>

// The form as the window's code relies on it: the lists whose positions the window turns
// into register values, the ranges that keep what the operator types within what the
// sensor takes, and what stays locked until a sensor is validated.
class tst_MainWindowForm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listsInRegisterOrder_data();
    void listsInRegisterOrder();
    void rangesOfTheSensor_data();
    void rangesOfTheSensor();
    void startState();

private:
    std::unique_ptr<QMainWindow> m_window;
    std::unique_ptr<Ui::MainWindow> m_ui;
};

void tst_MainWindowForm::init()
{
    m_window = std::make_unique<QMainWindow>();
    m_ui = std::make_unique<Ui::MainWindow>();
    m_ui->setupUi(m_window.get());
}

void tst_MainWindowForm::cleanup()
{
    m_ui.reset();
    m_window.reset();
}

void tst_MainWindowForm::listsInRegisterOrder_data()
{
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("current");

    QStringList rates;
    for (quint8 index = 0; Brisca::baudRateOfIndex(index) != 0; ++index)
        rates << QString::number(Brisca::baudRateOfIndex(index));
    // Position i of the parity lists is what parityCodeFromIndex(i) sends to the sensor.
    QStringList parities;
    for (int index = 0; index < 3; ++index) {
        const quint8 code = Brisca::parityCodeFromIndex(index);
        parities << (code == Brisca::ParityCodeNone   ? "None"
                     : code == Brisca::ParityCodeEven ? "Even"
                                                      : "Odd");
    }
    // The window writes side 2 * i + 2 for position i, and grid code i + 1.
    QStringList reticles;
    for (int index = 0; index < 16; ++index)
        reticles << QStringLiteral("%1x%1").arg(2 * index + 2);
    QStringList grids;
    for (quint8 code = 1; code <= 4; ++code)
        grids << QStringLiteral("%1x%1").arg(Brisca::roiSideFromGridCode(code));

    // The defaults of the connection page are the sensor's factory settings.
    QTest::newRow("comboBox_baudrate") << rates << "19200";
    QTest::newRow("comboBox_baudrateUpdate") << rates << "19200";
    QTest::newRow("comboBox_parity") << parities << "Even";
    QTest::newRow("comboBox_parityUpdate") << parities << "Even";
    QTest::newRow("comboBox_reticleSize") << reticles << "2x2";
    QTest::newRow("comboBox_gridROISize") << grids << "2x2";
    // Index + 1 is the temperature choice code; index 0 means the coil is set.
    QTest::newRow("comboBox_temperatureChoice")
        << QStringList({"Hot", "Cold", "Hot and Cold"}) << "Hot";
    QTest::newRow("comboBox_outputBehavior") << QStringList({"N.C.", "N.O."}) << "N.C.";
    QTest::newRow("comboBox_trasnistorTypeSelection") << QStringList({"NPN", "PNP"}) << "NPN";
    QTest::newRow("comboBox_alarmTimerBased")
        << QStringList({"Timer based", "Action based"}) << "Timer based";
    QTest::newRow("comboBox_counterType")
        << QStringList({"Bidirectional", "Unidirectional"}) << "Bidirectional";
}

void tst_MainWindowForm::listsInRegisterOrder()
{
    QFETCH(QStringList, items);
    QFETCH(QString, current);
    auto *box = m_window->findChild<QComboBox *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(box);
    QStringList shown;
    for (int i = 0; i < box->count(); ++i)
        shown << box->itemText(i);
    QCOMPARE(shown, items);
    QCOMPARE(box->currentText(), current);
}

void tst_MainWindowForm::rangesOfTheSensor_data()
{
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");
    QTest::addColumn<int>("decimals");
    // Slave 0 would be a broadcast; the rest are the ranges the sensor accepts.
    QTest::newRow("spinBox_slaveSelect") << 1.0 << 247.0 << 0;
    QTest::newRow("spinBox_slaveAddrUpdate") << 1.0 << 247.0 << 0;
    QTest::newRow("spinBox_alarmDuration") << 50.0 << 2000.0 << 0;
    QTest::newRow("spinBox_emissivity") << 1.0 << 100.0 << 0;
    QTest::newRow("spinBox_movingAverageWindow") << 1.0 << 16.0 << 0;
    // Thresholds: 2531 to 9431 tenths of a kelvin, edited to the tenth of a degree.
    for (const char *name : {"doubleSpinBox_app1MinThreshold", "doubleSpinBox_app1MaxThreshold",
                             "doubleSpinBox_app2MinThreshold", "doubleSpinBox_app2MaxThreshold",
                             "doubleSpinBox_app3MinThreshold", "doubleSpinBox_app3MaxThreshold"})
        QTest::newRow(name) << -20.0 << 670.0 << 1;
}

void tst_MainWindowForm::rangesOfTheSensor()
{
    QFETCH(double, minimum);
    QFETCH(double, maximum);
    QFETCH(int, decimals);
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    if (auto *box = m_window->findChild<QDoubleSpinBox *>(name)) {
        QCOMPARE(box->minimum(), minimum);
        QCOMPARE(box->maximum(), maximum);
        QCOMPARE(box->decimals(), decimals);
        return;
    }
    auto *box = m_window->findChild<QSpinBox *>(name);
    QVERIFY(box);
    QCOMPARE(double(box->minimum()), minimum);
    QCOMPARE(double(box->maximum()), maximum);
}

void tst_MainWindowForm::startState()
{
    // Before a sensor is validated only the connection page and Connect are usable.
    QWidget *const locked[] = {m_ui->pushButton_Settings,
                               m_ui->pushButton_Application1,
                               m_ui->pushButton_Application2,
                               m_ui->pushButton_Application3,
                               m_ui->pushButton_Disconnect,
                               m_ui->pushButton_SelectSlave,
                               m_ui->frame_updateSelectedSlaveConnectionParams,
                               m_ui->radioButton_App1Enable,
                               m_ui->radioButton_App2Enable,
                               m_ui->radioButton_App3Enable};
    for (QWidget *widget : locked)
        QVERIFY2(!widget->isEnabled(), qPrintable(widget->objectName()));
    QVERIFY(!m_ui->actionReset_device->isEnabled());
    QVERIFY(m_ui->pushButton_connect->isEnabled());
    QVERIFY(!m_ui->label_10->pixmap(Qt::ReturnByValue).isNull()); // the logo, from resources

    // The window checks one page button at a time itself, and continuous mode stays down
    // while it runs.
    for (QPushButton *button :
         {m_ui->pushButton_Connection, m_ui->pushButton_Settings, m_ui->pushButton_Application1,
          m_ui->pushButton_Application2, m_ui->pushButton_Application3, m_ui->pushButton_cycleMode,
          m_ui->pushButton_cycleMode1, m_ui->pushButton_cycleMode3}) {
        QVERIFY2(button->isCheckable() && !button->isChecked() && !button->autoExclusive(),
                 qPrintable(button->objectName()));
    }
}

QTEST_MAIN(tst_MainWindowForm)
#include "tst_mainwindowform.moc"
