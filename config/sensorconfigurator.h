#pragma once

#include "configuration.h"

#include <QModbusDataUnit>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>

#include <deque>
#include <functional>

class BriscaDevice;

namespace BriscaConfig {

// Puts a configuration onto a sensor and checks it got there: compares the configuration
// with what the device's caches hold, writes only what differs, one write at a time, then
// reads every setting back. The window and `brisca` only present what it reports.
//
// The bus settings (slave address, baud rate, parity) are written only when asked for, and
// last, after every other setting has been verified: they change how the sensor answers.
// The link then follows the sensor to its new address and line settings and reads them back
// there. The first write the sensor refuses ends the writing; nothing after it is sent.
class SensorConfigurator : public QObject
{
    Q_OBJECT
public:
    enum class Outcome
    {
        Unchanged,  // the sensor already held it, and still does
        Verified,   // written, and read back as written
        Failed,     // refused, unanswered, or read back otherwise
        NotWritten, // differs, but was not to be written (bus settings) or came after a failure
    };

    struct Item
    {
        int setting = -1; // index into settings()
        quint16 before = 0;
        quint16 wanted = 0;
        quint16 after = 0;
        bool readBack = false;
        bool written = false; // a write of it was answered
        Outcome outcome = Outcome::Unchanged;
        // Why it failed or was not written: the sensor's answer, or what was read back.
        QString detail;

        bool differs() const { return before != wanted; }
    };

    explicit SensorConfigurator(BriscaDevice *device, QObject *parent = nullptr);

    // Every setting of `configuration`, with what the device's caches hold for it.
    static QVector<Item> compare(const BriscaDevice &device, const Configuration &configuration);

    // Reads the coils and holding registers into the device's caches; ends in settingsRead()
    // or readFailed().
    void readSettings();
    // Writes and verifies; ends in finished(). With `includeBus` false the configuration's
    // bus settings are only compared.
    void apply(const Configuration &configuration, bool includeBus);

    bool isBusy() const { return m_stage != Stage::Idle; }
    const QVector<Item> &items() const { return m_items; }
    // After finished(false): the settings written (and answered) before the failure.
    QStringList writtenBeforeFailure() const;
    // The setting whose write failed and stopped the others, or -1.
    int stoppedAt() const { return m_stoppedAt; }
    bool succeeded() const;

signals:
    void settingsRead();
    void readFailed(const QString &error);
    // Before each write: the setting about to be written.
    void writing(int setting);
    void finished(bool ok);

private:
    enum class Stage
    {
        Idle,
        Reading,
        Writing,
        SwitchingLine,
    };

    struct Write
    {
        QModbusDataUnit::RegisterType table;
        int address;
        QVector<int> items; // indexes into m_items that this write carries
        std::function<void()> send;
    };

    void statusReceived(const QString &text);
    void dataReceived(QModbusDataUnit::RegisterType table);
    void writeFailed(QModbusDataUnit::RegisterType table, int address, int count);
    void stateChanged();

    void startReading(std::function<void(bool ok, const QString &error)> then);
    void readDone(bool ok, const QString &error);
    void sendNext();
    void writeDone(bool ok, const QString &answer);
    void verify(bool busRound, bool readOk, const QString &readError);
    void queueBusWrites();
    void switchLine();
    void finish();
    QVector<int> pendingItems(bool bus) const;

    QPointer<BriscaDevice> m_device;
    Stage m_stage = Stage::Idle;
    QVector<Item> m_items;
    std::deque<Write> m_writes;
    Write m_current;
    bool m_includeBus = false;
    bool m_busRound = false;
    bool m_lineChange = false;
    int m_stoppedAt = -1;
    quint64 m_exceptionsBefore = 0;
    QString m_lastStatus;
    bool m_coilsRead = false;
    bool m_holdingRead = false;
    std::function<void(bool, const QString &)> m_afterRead;
};

} // namespace BriscaConfig
