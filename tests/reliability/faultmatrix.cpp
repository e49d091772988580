#include "briscadevice.h"
#include "briscaregisters.h"
#include "image.h"
#include "reliabilitysupport.h"

#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>

#include <algorithm>

// Each cell starts a fresh sensor and window, injects the fault into the requests of the
// operation (it stays until cleared), runs the operation, checks what the operator sees and
// what reached the sensor, then clears the fault and runs the operation again.
namespace Reliability {
namespace {

// Short enough that a cell that times out on every retry stays quick, long enough that a
// loaded machine answers well inside it.
constexpr int ReplyTimeoutMs = 250;
constexpr int OutcomeTimeoutMs = 30000;
// A pixel the sensor takes on while a faulted image is read; it reaches the window only
// through a read that succeeds.
constexpr int NewPixel = 3500;
const QByteArray SetNewPixel = "set input 1300 3500"; // in the last frame chunk

enum class Expect
{
    Timeout,   // the request is given up after its tries: code 0x5
    Exception, // the sensor's refusal, its code in the text
    Answered,  // a later try gets through; the operation completes
    LinkLost,  // the port is closed; Connect is offered again
};

struct Fault
{
    const char *label;
    const char *rule;
    Expect expect;
    int exception;
    // The master tries again while the first answer is still on its way and matches answers
    // by slave and function alone, so the spare answer meets the next request of the same
    // function. Whether the operation then completes depends on which request it met; the
    // cell checks that no cache and no drawn frame holds a value the sensor never had there.
    bool stale;
};

const Fault Faults[] = {
    {"no answer", "silent", Expect::Timeout, 0, false},
    {"bad CRC", "badcrc", Expect::Timeout, 0, false},
    {"late, inside the timeout", "late:40", Expect::Answered, 0, false},
    {"late, past the timeout", "late:375", Expect::Answered, 0, true},
    {"exception 0x01", "exception:1", Expect::Exception, 1, false},
    {"exception 0x02", "exception:2", Expect::Exception, 2, false},
    {"exception 0x03", "exception:3", Expect::Exception, 3, false},
    {"exception 0x04", "exception:4", Expect::Exception, 4, false},
    {"exception 0x06", "exception:6", Expect::Exception, 6, false},
    {"truncated answer", "truncate", Expect::Timeout, 0, false},
    // Bytes before an answer can make the master cut it at the wrong place: the rest may be
    // read as the answer to the next request of the same function, as a late one is.
    {"stray bytes", "stray", Expect::Timeout, 0, true},
    {"wrong slave address", "wrongslave", Expect::Timeout, 0, false},
    {"hang-up", "hangup", Expect::LinkLost, 0, false},
};

const char SuccessSelect[] = "^Done, connection successful$";
const char AnyError[] = "response error|^Read error|^Write error|^Could not find valid device|"
                        "^Connection lost";

struct OperationInfo
{
    const char *label;
    QStringList targets; // the requests the fault hits (fault selectors)
    bool write;
    const char *success;
    const char *written; // the cache of the value the operator writes
    const char *keys;    // the caches that must hold what the sensor holds afterwards
};

const char Updated[] = "^Value successfully updated$";
const OperationInfo Operations[] = {
    {"Select slave", {"fc=6,addr=10"}, false, SuccessSelect, "", "^(holding|coils) "},
    {"settings read", {"fc=1", "fc=3"}, false, SuccessSelect, "", "^(holding|coils) "},
    {"coil write", {"fc=5,addr=0"}, true, Updated, "coils 0", "^coils 0$"},
    {"register write", {"fc=6,addr=9"}, true, Updated, "holding 9", "^holding 9$"},
    {"threshold pair", {"fc=16,addr=2"}, true, Updated, "holding 2", "^holding [23]$"},
    {"single image", {"fc=4,addr=0", "fc=4,addr=1281"}, false, "^Done$", "", "^(dis|in|fr)"},
    {"continuous mode", {"fc=4,addr=1281"}, false, "^Done$", "", "^(dis|in|fr)"},
    {"bus settings update", {"fc=6,addr=0", "fc=6,addr=1"}, true, Updated, "", "^holding [01]$"},
};

bool hasPixel(const image *view, quint16 value)
{
    const quint16 *begin = &view->pixels[0][0], *end = begin + Brisca::FramePixelCount;
    return std::find(begin, end, value) != end;
}

class Cell
{
public:
    Cell(int op, const Fault &fault)
        : m_op(Operation(op))
        , m_info(Operations[op])
        , m_fault(fault)
    {}

    void run()
    {
        if (!check(setUp(), QStringLiteral("set-up failed")))
            return;
        if (m_op != ContinuousMode &&
            !check(prepareSensor() && inject(), QStringLiteral("fault not taken")))
            return;
        const int from = m_log->size();
        const int mark = m_driver.mark();
        if (m_op == ContinuousMode) {
            act(false);
            const int frames = m_framesSeen.size();
            if (!check(waitFor([&] { return m_framesSeen.size() > frames; }),
                       QStringLiteral("continuous mode drew no frame")))
                return;
            // Only a frame read after the fault can carry the new pixel.
            if (!check(inject() && m_driver.sim().command(SetNewPixel),
                       QStringLiteral("fault not taken")))
                return;
        }
        m_framesSeen.clear();
        m_cachesBefore = cacheSnapshot(*device());
        m_frameBefore = device()->frameBuffer;
        // A failed write is compared with the window before the action, anything else after it.
        if (m_info.write)
            m_widgetsBefore = widgetSnapshot(m_driver.window());
        if (m_op != ContinuousMode)
            act(false);
        if (!m_info.write)
            m_widgetsBefore = widgetSnapshot(m_driver.window());

        const Expect e = expectation();
        // Continuous mode running on: frames keep coming after the fault. Ended: an error.
        check(waitFor([&] {
                  if (e == Expect::LinkLost)
                      return portClosedDifferences(m_driver).isEmpty();
                  return m_log->find(AnyError, from) >= 0 ||
                         (m_op == ContinuousMode ? m_framesSeen.size() >= 3
                                                 : m_log->find(m_info.success, from) >= 0);
              }),
              QStringLiteral("no outcome within %1 ms").arg(OutcomeTimeoutMs));
        // Still running (a late answer refused in the middle of a frame does not end the loop
        // either): the operator stops it, and the frame under way ends it.
        const bool running = e != Expect::LinkLost && m_op == ContinuousMode &&
                             cycle()->isChecked() &&
                             (m_log->find(AnyError, from) < 0 || m_fault.stale);
        if (running) {
            checkFaultPhase(from, mark);
            cycle()->click();
        }
        if (e != Expect::LinkLost)
            check(m_driver.settle(), QStringLiteral("the line did not become quiet"));
        if (!running)
            checkFaultPhase(from, mark);
        check(recover(), QStringLiteral("after clear: the operation did not work again"));
        if (!failures.isEmpty()) {
            const QStringList requests = m_driver.sim().received();
            qInfo("status: %s\nlast requests: %s", qPrintable(m_log->since(0).join(" | ")),
                  qPrintable(requests.mid(std::max(0, int(requests.size()) - 12)).join(' ')));
        }
    }
    QStringList failures;

private:
    Expect expectation() const
    {
        // The probe's expected refusal is exactly what proves a sensor.
        if (m_op == SelectSlave && m_fault.expect == Expect::Exception && m_fault.exception == 3)
            return Expect::Answered;
        return m_fault.expect;
    }

    bool setUp()
    {
        if (!m_driver.start(WindowDriver::quietMap()))
            return false;
        m_log = new StatusLog(&m_driver.window());
        // Any change makes the sensor write the state file the checks compare the caches with;
        // this one keeps the value it had.
        if (!m_driver.sim().command("set holding 13 1") || !connectPort())
            return false;
        if (m_op == SelectSlave)
            return true;
        if (!select())
            return false;
        if (m_op != SingleImage && m_op != ContinuousMode)
            return true;
        // A first image, so the plots hold a frame that a failed read must leave alone.
        child<QPushButton>("pushButton_getImage")->click();
        return waitFor([&] { return !m_framesSeen.isEmpty(); }) && m_driver.settle();
    }

    bool connectPort()
    {
        child<QLineEdit>("lineEdit_portname")->setText(m_driver.sim().linkPath());
        child<QPushButton>("pushButton_connect")->click();
        if (!device() || !child<QPushButton>("pushButton_SelectSlave")->isEnabled())
            return false;
        device()->setTimeout(ReplyTimeoutMs);
        m_log->attach(device());
        QObject::connect(device(), &BriscaDevice::pixelDataReady, device(),
                         [this](const QVector<quint16> &frame) { m_framesSeen << frame; });
        return true;
    }

    bool select()
    {
        const int from = m_log->size();
        child<QPushButton>("pushButton_SelectSlave")->click();
        return waitFor([&] { return m_log->find(SuccessSelect, from) >= 0; }) && m_driver.settle();
    }

    bool prepareSensor()
    {
        SimProcess &sim = m_driver.sim();
        if (m_op == SettingsRead)
            return sim.command("set holding 9 50") && sim.command("set holding 2 3631") &&
                   sim.command("set coil 5 1");
        return m_op != SingleImage || (sim.command("set input 0 3000") && sim.command(SetNewPixel));
    }

    bool inject()
    {
        for (const QString &target : qAsConst(m_info.targets)) {
            if (!m_driver.sim().command(QByteArray("fault ") + m_fault.rule + ',' +
                                        target.toLatin1()))
                return false;
        }
        return true;
    }

    // The operation; `again` after the fault is gone (another value, the mode restarted).
    void act(bool again)
    {
        switch (m_op) {
        case SelectSlave:
        case SettingsRead:
            child<QPushButton>("pushButton_SelectSlave")->click();
            break;
        case CoilWrite:
            m_target = !child<QRadioButton>("radioButton_NoNcEnabled")->isChecked();
            child<QRadioButton>("radioButton_NoNcEnabled")->click();
            break;
        case RegisterWrite:
            m_target = again ? 70 : 60;
            child<QSpinBox>("spinBox_emissivity")->setValue(m_target);
            emit child<QSpinBox>("spinBox_emissivity")->editingFinished();
            break;
        case ThresholdPair:
            m_target = Brisca::celsiusToKelvinTenths(again ? 75.0 : 70.0);
            child<QDoubleSpinBox>("doubleSpinBox_app1MaxThreshold")->setValue(again ? 75.0 : 70.0);
            child<QPushButton>("pushButton_app1SetNewThresholds")->click();
            break;
        case SingleImage:
            child<QPushButton>("pushButton_getImage")->click();
            break;
        case ContinuousMode:
            // A mode that ended on a missing frame stays checked until the operator stops it.
            if (again && cycle()->isChecked())
                cycle()->click();
            cycle()->click();
            break;
        case BusSettings:
            acceptNextBox();
            child<QPushButton>("pushButton_updateSlaveConnectionParams")->click();
            break;
        }
    }

    void checkFaultPhase(int from, int mark)
    {
        const int error = m_log->find(AnyError, from);
        const int success = m_log->find(m_info.success, from);
        const QStringList unasked = unaskedWrites(mark);
        check(unasked.isEmpty(), QStringLiteral("writes not asked for: ") + unasked.join(' '));
        if (m_fault.stale) {
            check(error >= 0 || success >= 0 || m_framesSeen.size() > 0,
                  QStringLiteral("neither completed nor failed"));
            return checkNoForeignValue();
        }
        if (expectation() != Expect::Answered)
            return checkFailure(from, error, success);
        check(error < 0, QStringLiteral("error shown: ") + m_log->since(error).value(0));
        check(m_op == ContinuousMode ? !m_framesSeen.isEmpty() : success >= 0,
              QStringLiteral("no success"));
        checkEffect(QString());
    }

    void checkFailure(int from, int error, int success)
    {
        check(m_log->find(failurePattern(), from) >= 0,
              QStringLiteral("expected a message like /%1/").arg(failurePattern()));
        const bool lost = expectation() == Expect::LinkLost;
        if (lost) {
            const QStringList wrong = portClosedDifferences(m_driver);
            check(wrong.isEmpty(), wrong.join(QStringLiteral(", ")));
        } else {
            // Earlier frames of a continuous run end in "Done"; none may follow the error. The
            // bus settings update is two writes, and the first may get through.
            const int after = m_log->find(m_info.success, std::max(error, from));
            check((m_op == ContinuousMode ? after < 0 : success < 0) || m_op == BusSettings,
                  QStringLiteral("success shown after a failure"));
        }
        // A failed read leaves the window as it was right after the operator's action; a failed
        // write shows again what the sensor holds, as before the action.
        QStringList widgets = changedKeys(m_widgetsBefore, widgetSnapshot(m_driver.window()));
        if (lost)
            widgets.removeAll(QStringLiteral("pushButton_cycleMode"));
        check(widgets.isEmpty(), QStringLiteral("widgets changed: ") + widgets.join(' '));
        if (lost || !device())
            return;
        const QStringList caches = changedKeys(m_cachesBefore, cacheSnapshot(*device()));
        check(caches.isEmpty(), QStringLiteral("caches changed: ") + caches.join(' '));
        // Retries stay off until the sensor confirms its new line settings.
        if (m_op == BusSettings)
            check(device()->numberOfRetries() == 0, QStringLiteral("retries without an echo"));
        if (m_op == SingleImage || m_op == ContinuousMode)
            check(!hasPixel(child<image>("tempPlot_app1"), NewPixel),
                  QStringLiteral("the faulted frame was drawn"));
        // The loop ends on the missing frame; the mode stays on until the operator stops it.
        if (m_op == ContinuousMode)
            check(cycle()->isChecked() && !child<QPushButton>("pushButton_getImage")->isEnabled(),
                  QStringLiteral("a read error ended the mode or unlocked the manual controls"));
    }

    // After a late or cut answer every cache holds what it held before or what the sensor
    // holds, and every frame drawn holds, pixel by pixel, the previous frame's value or the
    // sensor's.
    void checkNoForeignValue()
    {
        if (!device())
            return;
        const QMap<QString, QString> held = sensorView(m_driver.sim());
        const QMap<QString, QString> cached = cacheSnapshot(*device());
        QStringList foreign;
        for (auto it = cached.cbegin(); it != cached.cend(); ++it) {
            if (it.key() != QLatin1String("frame") &&
                it.value() != m_cachesBefore.value(it.key()) && it.value() != held.value(it.key()))
                foreign << it.key() + QLatin1Char('=') + it.value();
        }
        const QVector<int> input = m_driver.sim().stateArray(QStringLiteral("input"));
        QList<QVector<quint16>> frames = m_framesSeen;
        frames << QVector<quint16>(device()->frameBuffer.cbegin(), device()->frameBuffer.cend());
        for (const QVector<quint16> &frame : qAsConst(frames)) {
            for (int i = 0; i < frame.size(); ++i) {
                if (frame.at(i) != m_frameBefore[size_t(i)] &&
                    frame.at(i) != input.value(Brisca::InputFrameStart + i, -1)) {
                    foreign << QStringLiteral("pixel %1=%2").arg(i).arg(frame.at(i));
                    break;
                }
            }
        }
        check(foreign.isEmpty(), QStringLiteral("foreign values: ") + foreign.join(' '));
    }

    // The operation again once the fault is gone; after a hang-up a new sensor on the same
    // link path, with the old one's values, and the operator connects again.
    bool recover()
    {
        SimProcess &sim = m_driver.sim();
        const bool back =
            m_fault.expect != Expect::LinkLost
                ? sim.command("clear")
                : sim.waitForFinished(5000) &&
                      sim.start({"--load", sim.tempPath("start.json"), "--fps", "0"}) &&
                      sim.command("set holding 13 1") && prepareSensor() &&
                      (m_op != ContinuousMode || sim.command(SetNewPixel)) && connectPort() &&
                      (m_op == SelectSlave || select());
        if (!back)
            return false;
        const int from = m_log->size();
        const int mark = m_driver.mark();
        const int frames = m_framesSeen.size();
        act(true);
        // The bus settings update is two writes, each answered on its own.
        const bool done = waitFor([&] {
            return m_op == ContinuousMode
                       ? m_framesSeen.size() >= frames + 2
                       : m_log->count(m_info.success, from) >= (m_op == BusSettings ? 2 : 1) ||
                             m_log->find(AnyError, from) >= 0;
        });
        if (m_op == ContinuousMode)
            cycle()->click();
        if (!done || !m_driver.settle())
            return false;
        const int error = m_log->find(AnyError, from);
        check(error < 0, QStringLiteral("after clear: ") + m_log->since(error).value(0));
        const QStringList unasked = unaskedWrites(mark);
        check(unasked.isEmpty(), QStringLiteral("after clear, not asked: ") + unasked.join(' '));
        checkEffect(QStringLiteral("after clear: "));
        return true;
    }

    // What the operation was for has happened, and what the window holds is what the sensor
    // holds: an answer taken for the wrong request would show here.
    void checkEffect(const QString &phase)
    {
        if (!check(device() != nullptr, phase + QStringLiteral("no device")))
            return;
        if (m_op == SelectSlave || m_op == SettingsRead)
            check(child<QPushButton>("pushButton_Settings")->isEnabled(),
                  phase + QStringLiteral("the pages stay locked"));
        if (m_op == SingleImage || m_op == ContinuousMode)
            check(hasPixel(child<image>("tempPlot_app1"), NewPixel),
                  phase + QStringLiteral("the new frame is not shown"));
        if (m_op == BusSettings)
            check(device()->numberOfRetries() == 3, phase + QStringLiteral("retries not restored"));
        // A write reached the sensor with the operator's value.
        const QMap<QString, QString> held = sensorView(m_driver.sim());
        check(!*m_info.written || held.value(m_info.written) == QString::number(m_target),
              phase + QStringLiteral("not written"));
        const QMap<QString, QString> cached = cacheSnapshot(*device());
        QStringList wrong;
        for (const QString &k : cached.keys().filter(QRegularExpression(m_info.keys))) {
            if (cached.value(k) != held.value(k))
                wrong << QStringLiteral("%1 %2 (sensor %3)").arg(k, cached.value(k), held.value(k));
        }
        check(wrong.isEmpty(), phase + QStringLiteral("caches differ from the sensor: ") +
                                   wrong.join(QStringLiteral(", ")));
    }

    // The writes the sensor received from `mark` on that the operator did not ask for (a retry
    // repeats the one asked for).
    QStringList unaskedWrites(int mark) const
    {
        QStringList allowed;
        if (m_op == CoilWrite)
            allowed << WindowDriver::coilWrite(1, Brisca::CoilNoNcEnabled, m_target);
        if (m_op == RegisterWrite)
            allowed << WindowDriver::holdingWrite(1, Brisca::HoldingEmissivity, m_target);
        // The pair as the sensor holds it: maximum first.
        if (m_op == ThresholdPair)
            allowed << QStringLiteral("01100002000204%1%2")
                           .arg(m_target, 4, 16, QLatin1Char('0'))
                           .arg(Brisca::celsiusToKelvinTenths(0.0), 4, 16, QLatin1Char('0'));
        // The form offers the sensor's present address and the line's own settings.
        if (m_op == BusSettings)
            allowed << WindowDriver::holdingWrite(1, Brisca::HoldingSlaveAddress, 1)
                    << WindowDriver::holdingWrite(1, Brisca::HoldingSerialSettings,
                                                  Brisca::serialSettingsCode(19200, 2));
        QStringList unasked;
        for (const QString &frame : m_driver.writesSince(mark)) {
            if (!allowed.contains(frame.left(frame.size() - 4)))
                unasked << frame;
        }
        return unasked;
    }

    QString failurePattern() const
    {
        const Expect e = expectation();
        if (e == Expect::LinkLost)
            return QStringLiteral("^Connection lost");
        if (m_op == SelectSlave)
            return QStringLiteral(
                "^Could not find valid device\\. Verify connection settings and slave address$");
        const QString kind = m_info.write ? QStringLiteral("Write") : QStringLiteral("Read");
        if (e == Expect::Exception)
            return QStringLiteral("^%1 response error: .+ \\(Mobus exception: 0x%2\\)$")
                .arg(kind)
                .arg(m_fault.exception, 0, 16);
        return QStringLiteral("^%1 response error: .+ \\(code: 0x5\\)$").arg(kind);
    }
    bool waitFor(const std::function<bool()> &done) const
    {
        return QTest::qWaitFor(done, OutcomeTimeoutMs);
    }
    bool check(bool ok, const QString &what)
    {
        if (!ok)
            failures << what;
        return ok;
    }
    template <typename T> T *child(const char *name) const { return m_driver.child<T>(name); }
    BriscaDevice *device() const { return m_driver.device(); }
    QPushButton *cycle() const { return child<QPushButton>("pushButton_cycleMode"); }

    Operation m_op;
    OperationInfo m_info;
    Fault m_fault;
    WindowDriver m_driver;
    StatusLog *m_log = nullptr;
    QMap<QString, QString> m_widgetsBefore;
    QMap<QString, QString> m_cachesBefore;
    std::array<quint16, Brisca::FramePixelCount> m_frameBefore{};
    QList<QVector<quint16>> m_framesSeen;
    int m_target = 0; // the raw value the operator writes
};

} // namespace

void faultMatrixRows(const QList<Operation> &operations)
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<int>("fault");
    for (Operation op : operations) {
        for (int i = 0; i < int(std::size(Faults)); ++i)
            QTest::addRow("%s, %s", Operations[op].label, Faults[i].label) << int(op) << i;
    }
}

void runFaultRow()
{
    QFETCH(int, operation);
    QFETCH(int, fault);
    Cell cell(operation, Faults[fault]);
    cell.run();
    QVERIFY2(cell.failures.isEmpty(), qPrintable(cell.failures.join(QStringLiteral("; "))));
}

} // namespace Reliability
