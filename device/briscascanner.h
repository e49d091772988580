#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QString>
#include <QVector>

class QModbusReply;
class QModbusRtuSerialMaster;

// One line setting of the bus: what a scan tries before it walks the addresses.
struct LineSetting
{
    qint32 baudRate = 19200;
    QSerialPort::Parity parity = QSerialPort::EvenParity;

    bool operator==(const LineSetting &other) const
    {
        return baudRate == other.baudRate && parity == other.parity;
    }
};

// What a scan heard at one address.
struct ScanResult
{
    enum Kind
    {
        BriscaSensor, // refused the probe as a sensor of this kind does
        OtherDevice   // answered, but not as a Brisca sensor would
    };

    QString portName;
    LineSetting line;
    int address = 0;
    Kind kind = OtherDevice;
    // For another device: what it answered ("exception 0x02", "accepted the write").
    QString answer;
};

struct ScanSettings
{
    QString portName;
    // Tried in the order of orderedLines(): factory settings, then `current`, then the rest.
    QVector<qint32> baudRates;
    QVector<QSerialPort::Parity> parities;
    LineSetting current;
    int firstAddress = 1;
    int lastAddress = 247;
    // 0: derived from each baud rate by probeTimeoutMs().
    int probeTimeoutMs = 0;
};

// Finds sensors on a bus whose settings nobody wrote down.
//
// For every line setting and address it sends only the validation probe, which a sensor
// refuses without changing anything, so a scan never alters a device on the bus. Silence
// moves on after a wait derived from the baud rate. The scanner opens the port itself and
// always leaves it closed when it stops, also when it is cancelled.
class BriscaScanner : public QObject
{
    Q_OBJECT
public:
    explicit BriscaScanner(QObject *parent = nullptr);
    ~BriscaScanner() override;

    // The wait for one probe at `baud`: the probe and the longest answer on the wire, the
    // silence that ends each, and room for a converter and the sensor to turn round.
    static int probeTimeoutMs(qint32 baud);
    // Factory settings first, then `current` when it is among the choices, then the rest in
    // the order given (baud rates outer, parities inner).
    static QVector<LineSetting> orderedLines(const ScanSettings &settings);
    // Milliseconds a whole scan of `settings` takes when nothing answers.
    static qint64 estimatedMs(const ScanSettings &settings);

    void start(const ScanSettings &settings);
    // Stops within the probe under way and closes the port; finished() follows at once.
    void cancel();
    bool isRunning() const { return m_running; }

    int done() const { return m_done; }
    int total() const { return m_total; }
    // Time left if nothing else answers, from the waits of the probes still to send.
    qint64 msLeft() const;
    QVector<ScanResult> results() const { return m_results; }

signals:
    void lineChanged(const LineSetting &line);
    void progress(int done, int total);
    void found(const ScanResult &result);
    // `error` is empty unless the port could not be opened.
    void finished(bool cancelled, const QString &error);

private:
    void openLine();
    void sendProbe();
    void probeAnswered();
    void stop(bool cancelled, const QString &error);
    int timeoutFor(const LineSetting &line) const;

    QModbusRtuSerialMaster *m_master = nullptr;
    QPointer<QModbusReply> m_reply;
    ScanSettings m_settings;
    QVector<LineSetting> m_lines;
    QVector<ScanResult> m_results;
    int m_lineIndex = 0;
    int m_address = 0;
    int m_done = 0;
    int m_total = 0;
    bool m_running = false;
};

Q_DECLARE_METATYPE(LineSetting)
Q_DECLARE_METATYPE(ScanResult)
