#include "sensorconfigurator.h"

#include "briscadevice.h"
#include "briscaregisters.h"
#include "settingcatalog.h"

#include <QSerialPort>

namespace BriscaConfig {

namespace {

// Texts the device says while all goes well.
bool isNews(const QString &text)
{
    return text == BriscaDevice::tr("Value successfully updated") ||
           text == BriscaDevice::tr("Reading settings, please wait") ||
           text == BriscaDevice::tr("Grabbing image...");
}

// The index of the connection page's parity list, which writeSerialSettings() takes.
quint8 parityIndexOfCode(quint16 code)
{
    return code == Brisca::ParityCodeNone ? 0 : code == Brisca::ParityCodeEven ? 1 : 2;
}

QSerialPort::Parity serialParityOfCode(quint16 code)
{
    return code == Brisca::ParityCodeNone   ? QSerialPort::NoParity
           : code == Brisca::ParityCodeEven ? QSerialPort::EvenParity
                                            : QSerialPort::OddParity;
}

} // namespace

SensorConfigurator::SensorConfigurator(BriscaDevice *device, QObject *parent)
    : QObject(parent)
    , m_device(device)
{
    if (!device)
        return;
    connect(device, &BriscaDevice::signal_status, this, &SensorConfigurator::statusReceived);
    connect(device, &BriscaDevice::coilsDataReady, this,
            [this] { dataReceived(QModbusDataUnit::Coils); });
    connect(device, &BriscaDevice::holdingRegsDataReady, this,
            [this] { dataReceived(QModbusDataUnit::HoldingRegisters); });
    connect(device, &BriscaDevice::writeFailed, this, &SensorConfigurator::writeFailed);
    connect(device, &QModbusDevice::stateChanged, this, &SensorConfigurator::stateChanged);
    // The device is half destroyed by then: only forget it.
    connect(device, &QObject::destroyed, this, [this] {
        m_device = nullptr;
        stateChanged();
    });
}

QVector<SensorConfigurator::Item> SensorConfigurator::compare(const BriscaDevice &device,
                                                              const Configuration &configuration)
{
    QVector<Item> items;
    const QMap<int, quint16> &values = configuration.values();
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        Item item;
        item.setting = it.key();
        item.before = sensorValue(device, settings().at(it.key()));
        item.wanted = it.value();
        items.append(item);
    }
    return items;
}

void SensorConfigurator::readSettings()
{
    if (isBusy())
        return;
    startReading([this](bool ok, const QString &error) {
        m_stage = Stage::Idle;
        if (ok)
            emit settingsRead();
        else
            emit readFailed(error);
    });
}

void SensorConfigurator::apply(const Configuration &configuration, bool includeBus)
{
    if (isBusy())
        return;
    m_items = m_device ? compare(*m_device, configuration) : QVector<Item>();
    m_includeBus = includeBus;
    m_busRound = false;
    m_lineChange = false;
    m_stoppedAt = -1;
    m_writes.clear();
    for (int i = 0; i < m_items.size(); ++i) {
        Item &item = m_items[i];
        const Setting &setting = settings().at(item.setting);
        if (!item.differs())
            continue;
        if (setting.bus) {
            if (!includeBus) {
                item.outcome = Outcome::NotWritten;
                item.detail = tr("bus settings are written only when asked for");
            }
            continue;
        }
        const QModbusDataUnit unit(setting.table, setting.address,
                                   QVector<quint16>{withField(setting, 0, item.wanted)});
        m_writes.push_back({setting.table, setting.address, {i}, [this, unit] {
                                m_device->writeUnit(unit);
                            }});
    }
    m_stage = Stage::Writing;
    // Everything is reported by signals, also what fails at once.
    QMetaObject::invokeMethod(this, &SensorConfigurator::sendNext, Qt::QueuedConnection);
}

void SensorConfigurator::queueBusWrites()
{
    int slave = -1;
    QVector<int> line;
    quint16 serial = m_device->serialSettings;
    for (int i = 0; i < m_items.size(); ++i) {
        const Setting &setting = settings().at(m_items.at(i).setting);
        if (!setting.bus)
            continue;
        if (setting.address == Brisca::HoldingSlaveAddress) {
            if (m_items.at(i).differs())
                slave = i;
        } else {
            serial = withField(setting, serial, m_items.at(i).wanted);
            if (m_items.at(i).differs())
                line.append(i);
        }
    }
    // The address first: the sensor answers it from the old one, and the line settings then
    // go to the new address, still at the old line settings.
    if (slave >= 0) {
        const quint8 address = quint8(m_items.at(slave).wanted);
        m_writes.push_back({QModbusDataUnit::HoldingRegisters,
                            Brisca::HoldingSlaveAddress,
                            {slave},
                            [this, address] {
                                m_device->writeSlaveAddress(address);
                            }});
    }
    if (!line.isEmpty()) {
        const quint32 baud = Brisca::baudRateOfIndex(Brisca::baudIndexOfSettings(serial));
        const quint8 parity = parityIndexOfCode(Brisca::parityCodeOfSettings(serial));
        m_writes.push_back({QModbusDataUnit::HoldingRegisters, Brisca::HoldingSerialSettings, line,
                            [this, baud, parity] {
                                m_device->writeSerialSettings(baud, parity);
                            }});
        m_lineChange = true;
    }
}

void SensorConfigurator::sendNext()
{
    if (m_stage != Stage::Writing)
        return;
    if (!m_device) {
        verify(m_busRound, false, tr("the port was closed"));
        return;
    }
    if (m_writes.empty()) {
        if (m_busRound && m_lineChange) {
            switchLine();
            return;
        }
        const bool busRound = m_busRound;
        startReading(
            [this, busRound](bool ok, const QString &error) { verify(busRound, ok, error); });
        return;
    }
    m_current = m_writes.front();
    m_writes.pop_front();
    emit writing(m_items.at(m_current.items.constFirst()).setting);
    m_exceptionsBefore = m_device->statistics().exceptionCount();
    m_lastStatus.clear();
    m_current.send();
    // A request the master refuses outright has ended before the call returns.
    if (m_stage == Stage::Writing && m_device &&
        !m_device->writePending(m_current.table, m_current.address))
        writeDone(false, m_lastStatus.isEmpty()
                             ? tr("the request could not be sent: %1").arg(m_device->errorString())
                             : m_lastStatus);
}

void SensorConfigurator::writeDone(bool ok, const QString &answer)
{
    const bool lineWrite = m_busRound && m_current.address == Brisca::HoldingSerialSettings;
    // The sensor may take its new line settings before its answer is out: silence is then
    // no refusal, and the new line will tell. A refusal is an exception answer.
    const bool refused = m_device && m_device->statistics().exceptionCount() != m_exceptionsBefore;
    if (!ok && lineWrite && !refused && m_device &&
        m_device->state() == QModbusDevice::ConnectedState) {
        for (int i : qAsConst(m_current.items)) {
            m_items[i].written = true;
            m_items[i].detail =
                tr("its answer was lost (%1); read back at the new line settings").arg(answer);
        }
        sendNext();
        return;
    }
    for (int i : qAsConst(m_current.items)) {
        m_items[i].written = ok;
        if (!ok) {
            m_items[i].outcome = Outcome::Failed;
            m_items[i].detail = answer;
        }
    }
    if (!ok) {
        m_stoppedAt = m_items.at(m_current.items.constFirst()).setting;
        for (const Write &write : m_writes) {
            for (int i : write.items) {
                m_items[i].outcome = Outcome::NotWritten;
                m_items[i].detail = tr("a write before it failed");
            }
        }
        m_writes.clear();
    }
    sendNext();
}

void SensorConfigurator::switchLine()
{
    m_stage = Stage::SwitchingLine;
    BriscaDevice *device = m_device;
    quint16 serial = device->serialSettings;
    for (const Item &item : qAsConst(m_items)) {
        const Setting &setting = settings().at(item.setting);
        if (setting.bus && setting.address == Brisca::HoldingSerialSettings)
            serial = withField(setting, serial, item.wanted);
    }
    const quint16 parity = Brisca::parityCodeOfSettings(serial);
    const quint32 baud = Brisca::baudRateOfIndex(Brisca::baudIndexOfSettings(serial));
    device->disconnectDevice();
    device->setConnectionParameter(QModbusDevice::SerialBaudRateParameter, qint32(baud));
    device->setConnectionParameter(QModbusDevice::SerialParityParameter,
                                   int(serialParityOfCode(parity)));
    // The parity bit takes the second stop bit's place, as on the connection page.
    device->setConnectionParameter(QModbusDevice::SerialStopBitsParameter,
                                   parity == Brisca::ParityCodeNone ? QSerialPort::TwoStop
                                                                    : QSerialPort::OneStop);
    if (!device->connectDevice()) {
        verify(
            true, false,
            tr("cannot reopen the port at the new line settings: %1").arg(device->errorString()));
        return;
    }
    m_stage = Stage::Writing;
    startReading([this](bool ok, const QString &error) { verify(true, ok, error); });
}

void SensorConfigurator::verify(bool busRound, bool readOk, const QString &readError)
{
    for (Item &item : m_items) {
        const Setting &setting = settings().at(item.setting);
        if (setting.bus != busRound)
            continue;
        if (readOk) {
            item.after = sensorValue(*m_device, setting);
            item.readBack = true;
        }
        if (item.outcome == Outcome::Failed || item.outcome == Outcome::NotWritten)
            continue;
        // What was not read back is not verified, written or not.
        if (!readOk) {
            item.outcome = Outcome::Failed;
            item.detail = tr("not read back: %1").arg(readError);
            continue;
        }
        if (item.after == item.wanted) {
            item.outcome = item.written ? Outcome::Verified : Outcome::Unchanged;
            continue;
        }
        item.outcome = Outcome::Failed;
        const QString held = valueText(setting, item.after);
        item.detail = item.written ? tr("read back as %1").arg(held)
                                   : tr("the sensor holds %1 now").arg(held);
    }
    if (!busRound && m_includeBus && readOk && m_device && succeeded()) {
        m_busRound = true;
        queueBusWrites();
        if (!m_writes.empty()) {
            m_stage = Stage::Writing;
            sendNext();
            return;
        }
    }
    if (!busRound && !succeeded()) {
        for (Item &item : m_items) {
            if (settings().at(item.setting).bus && item.differs() &&
                item.outcome != Outcome::NotWritten) {
                item.outcome = Outcome::NotWritten;
                item.detail = tr("a setting before it failed");
            }
        }
    }
    finish();
}

void SensorConfigurator::finish()
{
    m_stage = Stage::Idle;
    emit finished(succeeded());
}

bool SensorConfigurator::succeeded() const
{
    for (const Item &item : m_items) {
        if (item.outcome == Outcome::Failed)
            return false;
    }
    return true;
}

QStringList SensorConfigurator::writtenBeforeFailure() const
{
    QStringList names;
    for (const Item &item : m_items) {
        if (item.written)
            names << settings().at(item.setting).name;
    }
    return names;
}

void SensorConfigurator::startReading(std::function<void(bool, const QString &)> then)
{
    m_stage = Stage::Reading;
    m_coilsRead = false;
    m_holdingRead = false;
    m_afterRead = std::move(then);
    if (!m_device || m_device->state() != QModbusDevice::ConnectedState) {
        readDone(false, tr("the port is not open"));
        return;
    }
    const quint8 address = m_device->slaveAddress;
    m_device->readCoils(address);
    if (m_stage == Stage::Reading)
        m_device->readHoldingRegisters(address);
}

void SensorConfigurator::readDone(bool ok, const QString &error)
{
    const std::function<void(bool, const QString &)> then = std::move(m_afterRead);
    m_afterRead = nullptr;
    m_stage = Stage::Idle;
    if (then)
        then(ok, error);
}

void SensorConfigurator::statusReceived(const QString &text)
{
    if (isNews(text))
        return;
    m_lastStatus = text;
    // A read reports its failure only as text; a write also by writeFailed().
    if (m_stage == Stage::Reading)
        readDone(false, text);
}

void SensorConfigurator::dataReceived(QModbusDataUnit::RegisterType table)
{
    if (m_stage == Stage::Reading) {
        // The coils are asked for first, and answers come in the order of their requests.
        if (table == QModbusDataUnit::Coils)
            m_coilsRead = true;
        else if (m_coilsRead)
            m_holdingRead = true;
        if (m_coilsRead && m_holdingRead)
            readDone(true, QString());
        return;
    }
    // The echo of the write under way; a later write of the same register (the window
    // writes back a control that the echo changed) is waited for too.
    if (m_stage == Stage::Writing && m_device && table == m_current.table &&
        !m_device->writePending(m_current.table, m_current.address) && !m_current.items.isEmpty())
        writeDone(true, QString());
}

void SensorConfigurator::writeFailed(QModbusDataUnit::RegisterType table, int address, int count)
{
    if (m_stage != Stage::Writing || table != m_current.table || m_current.address < address ||
        m_current.address >= address + count)
        return;
    writeDone(false, m_lastStatus);
}

void SensorConfigurator::stateChanged()
{
    const bool lost = !m_device || m_device->state() == QModbusDevice::UnconnectedState;
    if (!lost)
        return;
    const QString why = tr("the port was closed");
    if (m_stage == Stage::Reading)
        readDone(false, why);
    else if (m_stage == Stage::Writing && !m_current.items.isEmpty())
        writeDone(false, why);
}

} // namespace BriscaConfig
