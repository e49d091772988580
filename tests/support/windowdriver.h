#pragma once

#include "mainwindow.h"
#include "simprocess.h"

#include <QJsonObject>
#include <QStringList>
#include <QWidget>

#include <memory>

class BriscaDevice;

// Drives one MainWindow against its own virtual sensor, the way an operator would: start
// the sensor from a register map, type its port, Connect, Select slave, wait until the
// settings are shown.
//
//     WindowDriver driver;
//     QVERIFY(driver.start(WindowDriver::quietMap()));
//     QVERIFY(driver.connectAndSelect());
//     driver.child<QPushButton>("pushButton_getImage")->click();
class WindowDriver
{
public:
    WindowDriver();
    ~WindowDriver();

    // Register map in which every value equals what the form shows at start-up, so that
    // selecting the slave writes nothing back. Frozen frame (--fps 0) is up to the caller.
    static QJsonObject quietMap();
    // `map` with some values replaced: table is "coils", "discrete_inputs", "holding" or
    // "input".
    static QJsonObject withValue(QJsonObject map, const QString &table, int address, int value);

    // Starts the sensor from `map` (through --load) with `extraArgs`, then builds the window.
    bool start(const QJsonObject &map, const QStringList &extraArgs = {"--fps", "0"});
    // Connect, Select slave, and wait for "Done, connection successful"; then waits until
    // the writes that selecting may have caused are answered.
    bool connectAndSelect(int slave = 1);
    // Waits until every request issued so far is answered and nothing new follows: sends
    // reads of the discrete inputs past the device, until one was the only request the
    // sensor saw since the one before it (answers that cause new requests, such as the
    // chained reads of an image or the echoes of writes, keep it going).
    bool settle(int timeoutMs = 10000);

    MainWindow &window() const { return *m_window; }
    SimProcess &sim() { return m_sim; }
    BriscaDevice *device() const;

    template <typename T> T *child(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }

    // Requests the sensor received from index `mark` of its log on; `functionCode` keeps
    // only those of one function (0 keeps all).
    QStringList requestsSince(int mark, int functionCode = 0) const;
    // Writes (functions 0x05, 0x06, 0x0f, 0x10) the sensor received from `mark` on, but for
    // the validation probe of Select slave.
    QStringList writesSince(int mark) const;
    int mark() const { return m_sim.received().size(); }

    // Write request frames as the sensor logs them (hex, no CRC), for comparisons.
    static QString coilWrite(int slave, int coil, bool on);
    static QString holdingWrite(int slave, int address, int value);

private:
    SimProcess m_sim;
    std::unique_ptr<MainWindow> m_window;
};
