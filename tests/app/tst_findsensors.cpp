#include "briscadevice.h"
#include "findsensorsdialog.h"
#include "mainwindow.h"
#include "simprocess.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

// Find sensors in the window, against several virtual sensors on one line: the scan lists
// what answers at the settings tried and nothing at others, and "Use" leaves the window
// validated on the sensor it found.
class tst_FindSensors : public QObject
{
    Q_OBJECT

private slots:
    void findsEverySensorAtItsRateOnly();
    void useValidatesTheSensorFound();
};

namespace {

// Ticks exactly the given baud rates and parities, sets port and range, and scans; returns
// the rows of the results table as "address baud parity kind" once the scan has ended.
QStringList scan(FindSensorsDialog *dialog, const QString &port, const QStringList &bauds,
                 const QStringList &parities, int from, int to)
{
    dialog->findChild<QLineEdit *>(QStringLiteral("port"))->setText(port);
    const auto boxes = dialog->findChildren<QCheckBox *>();
    for (QCheckBox *box : boxes)
        box->setChecked(bauds.contains(box->text()) || parities.contains(box->text()));
    dialog->findChild<QSpinBox *>(QStringLiteral("from"))->setValue(from);
    dialog->findChild<QSpinBox *>(QStringLiteral("to"))->setValue(to);
    QSignalSpy finished(dialog->scanner(), &BriscaScanner::finished);
    dialog->findChild<QPushButton *>(QStringLiteral("scan"))->click();
    if (!finished.wait(30000))
        return {QStringLiteral("the scan did not end")};
    auto *table = dialog->findChild<QTableWidget *>(QStringLiteral("results"));
    QStringList rows;
    for (int row = 0; row < table->rowCount(); ++row) {
        rows << QStringList{table->item(row, 3)->text(), table->item(row, 1)->text(),
                            table->item(row, 2)->text(), table->item(row, 4)->text()}
                    .join(QLatin1Char(' '));
    }
    return rows;
}

// Presses Yes in the next question box as soon as it shows.
void answerYesToNextBox(QStringList *questions)
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, questions] {
        const auto windows = QApplication::topLevelWidgets();
        for (QWidget *w : windows) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box || !box->isVisible())
                continue;
            poll->stop();
            poll->deleteLater();
            *questions << box->text();
            box->button(QMessageBox::Yes)->click();
            return;
        }
    });
    poll->start(10);
}

} // namespace

void tst_FindSensors::findsEverySensorAtItsRateOnly()
{
    SimProcess sim;
    QVERIFY(sim.start({"--slave", "3", "--slave", "7", "--slave", "12"}));
    MainWindow window;
    window.show();
    window.findChild<QPushButton *>(QStringLiteral("pushButton_findSensors"))->click();
    auto *dialog = window.findChild<FindSensorsDialog *>();
    QVERIFY(dialog && dialog->isVisible());

    QCOMPARE(scan(dialog, sim.linkPath(), {"19200"}, {"Even"}, 1, 13),
             QStringList({"3 19200 Even Brisca sensor", "7 19200 Even Brisca sensor",
                          "12 19200 Even Brisca sensor"}));
    // At another rate the sensors hear only noise.
    QCOMPARE(scan(dialog, sim.linkPath(), {"9600"}, {"None", "Even", "Odd"}, 1, 13), QStringList());
}

void tst_FindSensors::useValidatesTheSensorFound()
{
    SimProcess sim;
    QVERIFY(sim.start({"--slave", "42", "--baud", "9600", "--parity", "odd"}));
    MainWindow window;
    QStringList messages;
    connect(window.statusBar(), &QStatusBar::messageChanged, &window,
            [&messages](const QString &text) { messages << text; });
    window.show();
    const auto get = [&window](const char *name) {
        return window.findChild<QWidget *>(QLatin1String(name));
    };

    // The operator has the port open at the factory settings, where nothing answers.
    qobject_cast<QLineEdit *>(get("lineEdit_portname"))->setText(sim.linkPath());
    qobject_cast<QPushButton *>(get("pushButton_connect"))->click();
    QVERIFY(get("pushButton_Disconnect")->isEnabled());

    auto *find = window.findChild<QAction *>(QStringLiteral("actionFind_sensors"));
    QVERIFY(find->isEnabled());
    find->trigger();
    auto *dialog = window.findChild<FindSensorsDialog *>();
    QVERIFY(dialog);
    QStringList questions;
    answerYesToNextBox(&questions);
    const QStringList found =
        scan(dialog, sim.linkPath(), {"9600", "19200"}, {"None", "Even", "Odd"}, 40, 44);
    QCOMPARE(questions.size(), 1);
    QVERIFY2(questions.first().contains(sim.linkPath()), qPrintable(questions.first()));
    QCOMPARE(found, QStringList{"42 9600 Odd Brisca sensor"});

    dialog->findChild<QPushButton *>(QStringLiteral("use"))->click();
    QTRY_VERIFY(messages.contains(QStringLiteral("Done, connection successful")));
    QVERIFY(!window.findChild<FindSensorsDialog *>() ||
            !window.findChild<FindSensorsDialog *>()->isVisible());
    QCOMPARE(qobject_cast<QLineEdit *>(get("lineEdit_portname"))->text(), sim.linkPath());
    QCOMPARE(qobject_cast<QComboBox *>(get("comboBox_baudrate"))->currentText(),
             QStringLiteral("9600"));
    QCOMPARE(qobject_cast<QComboBox *>(get("comboBox_parity"))->currentText(),
             QStringLiteral("Odd"));
    QCOMPARE(qobject_cast<QSpinBox *>(get("spinBox_slaveSelect"))->value(), 42);
    QVERIFY(get("pushButton_Settings")->isEnabled());
    auto *device = window.findChild<BriscaDevice *>();
    QVERIFY(device);
    QCOMPARE(int(device->slaveAddress), 42);
}

QTEST_MAIN(tst_FindSensors)
#include "tst_findsensors.moc"
