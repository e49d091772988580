#include "briscascanner.h"

#include "briscaregisters.h"
#include "modbusanswer.h"

#include <QModbusDataUnit>
#include <QModbusReply>
#include <QModbusRtuSerialMaster>
#include <QVariant>

#include <cmath>

namespace {

// A probe and its longest answer (the echo of an accepted write) are 8 bytes each.
constexpr int ProbeExchangeChars = 16;
// Start bit, 8 data bits and either a parity bit and one stop bit or two stop bits.
constexpr int BitsPerChar = 11;
// What a USB converter and the sensor may add before the answer starts; a slow converter
// needs the dialog's override.
constexpr int TurnaroundMarginMs = 10;
// QModbusClient refuses timeouts below this.
constexpr int MinimumTimeoutMs = 10;
// The master keeps this much silence before each request from 19200 baud on, and 3.5
// characters below.
double interFrameMs(qint32 baud)
{
    return baud >= 19200 ? 1.75 : 3.5 * BitsPerChar * 1000.0 / baud;
}

} // namespace

BriscaScanner::BriscaScanner(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<LineSetting>();
    qRegisterMetaType<ScanResult>();
}

BriscaScanner::~BriscaScanner()
{
    if (m_master)
        m_master->disconnectDevice();
}

int BriscaScanner::probeTimeoutMs(qint32 baud)
{
    if (baud <= 0)
        return MinimumTimeoutMs;
    const double wire = ProbeExchangeChars * BitsPerChar * 1000.0 / baud;
    const double silence = 2 * interFrameMs(baud);
    return std::max(MinimumTimeoutMs, int(std::ceil(wire + silence)) + TurnaroundMarginMs);
}

QVector<LineSetting> BriscaScanner::orderedLines(const ScanSettings &settings)
{
    QVector<LineSetting> all;
    for (qint32 baud : settings.baudRates) {
        for (QSerialPort::Parity parity : settings.parities)
            all.append(LineSetting{baud, parity});
    }
    QVector<LineSetting> ordered;
    const auto takeFirst = [&](const LineSetting &line) {
        if (all.contains(line) && !ordered.contains(line))
            ordered.append(line);
    };
    takeFirst(LineSetting{Brisca::FactoryBaudRate, QSerialPort::EvenParity});
    takeFirst(settings.current);
    for (const LineSetting &line : qAsConst(all))
        takeFirst(line);
    return ordered;
}

qint64 BriscaScanner::estimatedMs(const ScanSettings &settings)
{
    const int addresses = std::max(0, settings.lastAddress - settings.firstAddress + 1);
    double total = 0;
    for (const LineSetting &line : orderedLines(settings)) {
        const int wait =
            settings.probeTimeoutMs > 0 ? settings.probeTimeoutMs : probeTimeoutMs(line.baudRate);
        total += addresses * (wait + interFrameMs(line.baudRate));
    }
    return qint64(std::ceil(total));
}

int BriscaScanner::timeoutFor(const LineSetting &line) const
{
    return m_settings.probeTimeoutMs > 0 ? std::max(MinimumTimeoutMs, m_settings.probeTimeoutMs)
                                         : probeTimeoutMs(line.baudRate);
}

qint64 BriscaScanner::msLeft() const
{
    if (!m_running)
        return 0;
    double left = 0;
    for (int i = m_lineIndex; i < m_lines.size(); ++i) {
        const int first = i == m_lineIndex ? m_address : m_settings.firstAddress;
        const int count = std::max(0, m_settings.lastAddress - first + 1);
        left += count * (timeoutFor(m_lines.at(i)) + interFrameMs(m_lines.at(i).baudRate));
    }
    return qint64(std::ceil(left));
}

void BriscaScanner::start(const ScanSettings &settings)
{
    if (m_running)
        return;
    m_settings = settings;
    m_settings.firstAddress = std::max(1, settings.firstAddress);
    m_settings.lastAddress = std::min(247, settings.lastAddress);
    m_lines = orderedLines(m_settings);
    m_results.clear();
    m_lineIndex = 0;
    m_done = 0;
    const int addresses = std::max(0, m_settings.lastAddress - m_settings.firstAddress + 1);
    m_total = int(m_lines.size()) * addresses;
    m_running = true;
    if (m_settings.portName.isEmpty()) {
        stop(false, tr("Choose a port to scan."));
        return;
    }
    if (m_total == 0) {
        stop(false, QString());
        return;
    }
    if (!m_master)
        m_master = new QModbusRtuSerialMaster(this);
    openLine();
}

void BriscaScanner::openLine()
{
    if (m_lineIndex >= m_lines.size()) {
        stop(false, QString());
        return;
    }
    const LineSetting &line = m_lines.at(m_lineIndex);
    m_master->disconnectDevice();
    m_master->setConnectionParameter(QModbusDevice::SerialPortNameParameter, m_settings.portName);
    m_master->setConnectionParameter(QModbusDevice::SerialBaudRateParameter, int(line.baudRate));
    m_master->setConnectionParameter(QModbusDevice::SerialParityParameter, int(line.parity));
    m_master->setConnectionParameter(QModbusDevice::SerialDataBitsParameter,
                                     int(QSerialPort::Data8));
    // The same framing the connection page uses: the parity bit takes the second stop bit's
    // place, so every character is 11 bits long.
    m_master->setConnectionParameter(
        QModbusDevice::SerialStopBitsParameter,
        int(line.parity == QSerialPort::NoParity ? QSerialPort::TwoStop : QSerialPort::OneStop));
    m_master->setNumberOfRetries(0);
    m_master->setTimeout(timeoutFor(line));
    if (!m_master->connectDevice()) {
        stop(false, tr("Connect failed: ") + m_master->errorString());
        return;
    }
    m_address = m_settings.firstAddress;
    emit lineChanged(line);
    sendProbe();
}

void BriscaScanner::sendProbe()
{
    while (m_running) {
        if (m_address > m_settings.lastAddress) {
            ++m_lineIndex;
            openLine();
            return;
        }
        const QModbusDataUnit probe(QModbusDataUnit::HoldingRegisters, Brisca::ProbeRegister,
                                    QVector<quint16>{Brisca::ProbeValue});
        QModbusReply *reply = m_master->sendWriteRequest(probe, m_address);
        if (!reply) {
            stop(false, tr("Scan stopped: ") + m_master->errorString());
            return;
        }
        if (!reply->isFinished()) {
            m_reply = reply;
            connect(reply, &QModbusReply::finished, this, &BriscaScanner::probeAnswered);
            return;
        }
        // Only a broadcast finishes at once, and addresses start at 1; count it and go on.
        reply->deleteLater();
        ++m_address;
        ++m_done;
        emit progress(m_done, m_total);
    }
}

void BriscaScanner::probeAnswered()
{
    auto *reply = qobject_cast<QModbusReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (!m_running || reply != m_reply)
        return;
    m_reply.clear();

    const Brisca::ProbeVerdict verdict = Brisca::probeVerdict(*reply);
    if (verdict.answered) {
        ScanResult result;
        result.portName = m_settings.portName;
        result.line = m_lines.at(m_lineIndex);
        result.address = m_address;
        result.kind = verdict.sensor ? ScanResult::BriscaSensor : ScanResult::OtherDevice;
        result.answer = verdict.answer;
        m_results.append(result);
        emit found(result);
    }
    ++m_address;
    ++m_done;
    emit progress(m_done, m_total);
    sendProbe();
}

void BriscaScanner::cancel()
{
    if (!m_running)
        return;
    stop(true, QString());
}

void BriscaScanner::stop(bool cancelled, const QString &error)
{
    m_running = false;
    QModbusReply *const pending = m_reply;
    m_reply.clear();
    // The abort that closing causes is ours, not an answer.
    if (pending)
        pending->disconnect(this);
    if (m_master)
        m_master->disconnectDevice();
    if (pending)
        pending->deleteLater();
    emit finished(cancelled, error);
}
