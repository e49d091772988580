#include "briscadevice.h"
#include "configurationactions.h"
#include "configurationloaddialog.h"
#include "windowdriver.h"

#include <QAction>
#include <QFile>
#include <QJsonDocument>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>

// Tools → save and load a configuration, against the virtual sensor: when the entries can
// be used, what the load dialog shows before it writes, and what the window shows after
// (bad files are refused in the file's own suite and the command line's).
class tst_ConfigurationDialog : public QObject
{
    Q_OBJECT
private slots:
    void loadShowsDifferencesThenWrites();
};

namespace {

bool usable(const ConfigurationActions *actions)
{
    return actions->saveAction()->isEnabled() && actions->loadAction()->isEnabled();
}

QStringList row(const QTableWidget *table, const QString &label)
{
    for (int r = 0; r < table->rowCount(); ++r) {
        if (table->item(r, 0) && table->item(r, 0)->text() == label)
            return {table->item(r, 1)->text(), table->item(r, 2)->text()};
    }
    return {};
}

} // namespace

void tst_ConfigurationDialog::loadShowsDifferencesThenWrites()
{
    WindowDriver driver;
    QVERIFY(driver.start(WindowDriver::quietMap()));
    auto *actions = driver.window().findChild<ConfigurationActions *>();
    QVERIFY(!usable(actions));
    QVERIFY(driver.connectAndSelect());
    QVERIFY(usable(actions));
    // Continuous mode keeps the link busy with images: nothing to compare against then.
    driver.child<QPushButton>("pushButton_cycleMode")->click();
    QVERIFY(!usable(actions));
    driver.child<QPushButton>("pushButton_cycleMode")->click();
    QVERIFY(usable(actions));

    const QString path = driver.sim().tempPath("saved.json");
    actions->saveTo(path);
    QTRY_VERIFY(driver.window().statusBar()->currentMessage().contains(path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QJsonObject json = QJsonDocument::fromJson(file.readAll()).object();
    file.close();
    QJsonObject settings = json.value("settings").toObject();
    QCOMPARE(settings.value("emissivity").toInt(), 95);
    settings.insert("emissivity", 77);
    settings.insert("app2.centered_area", 8);
    settings.insert("app1.upper_threshold", 100.0);
    json.insert("settings", settings);
    json.insert("bus", QJsonObject{{"parity", "odd"}});
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(json).toJson());
    file.close();
    // Changed behind the window's back: the pages still show 10 frames, the sensor holds 4.
    QVERIFY(driver.sim().command("set holding 11 4"));

    const int mark = driver.mark();
    ConfigurationLoadDialog *dialog = actions->loadFrom(path);
    QVERIFY(dialog);
    QVERIFY(!usable(actions));
    QTRY_VERIFY(dialog->writeButton()->isEnabled());
    QTableWidget *table = dialog->table();
    QCOMPARE(table->rowCount(), 5);
    QCOMPARE(row(table, "Application 2 moving average window"),
             (QStringList{"4 frames", "10 frames"}));
    QCOMPARE(row(table, "Parity (not written from here)"), (QStringList{"even", "odd"}));
    QCOMPARE(driver.writesSince(mark), QStringList());

    dialog->writeButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(!dialog->isWriting() && dialog->summary().contains("verified"), 15000);
    // Emissivity, centred area and upper threshold written, the moving average back to what
    // the file holds; the bus settings are not written from here.
    const QVector<int> holding = driver.sim().stateArray("holding");
    QCOMPARE(holding.mid(9, 3), QVector<int>({77, 8, 10}));
    QCOMPARE(holding.mid(1, 2), QVector<int>({22, 3731}));
    QCOMPARE(row(table, "Emissivity"), (QStringList{"77 %", "written and verified"}));

    // The pages show what the sensor now holds.
    QCOMPARE(driver.child<QSpinBox>("spinBox_emissivity")->value(), 77);
    QCOMPARE(driver.child<QSpinBox>("spinBox_movingAverageWindow")->value(), 10);
    dialog->close();
    QTRY_VERIFY(usable(actions));
    driver.child<QPushButton>("pushButton_Disconnect")->click();
    QVERIFY(!usable(actions));
}

QTEST_MAIN(tst_ConfigurationDialog)
#include "tst_configurationdialog.moc"
