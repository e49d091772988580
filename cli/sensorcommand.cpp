#include "sensorcommand.h"

#include "briscadevice.h"

#include <QCommandLineParser>
#include <QSerialPort>
#include <QVariant>

namespace BriscaCli {

SensorCommand::SensorCommand(QObject *parent)
    : Command(parent)
{}

QList<QCommandLineOption> SensorCommand::options() const
{
    return ConnectionOptions::options() << jsonOption();
}

int SensorCommand::configure(const QCommandLineParser &parser, QString *error)
{
    // Not every command offers --json; asking the parser about an option it does not know
    // only earns a warning.
    m_json = parser.optionNames().contains(jsonOption().names().constFirst());
    return configureConnection(parser, error) ? ExitSuccess : ExitUsage;
}

bool SensorCommand::configureConnection(const QCommandLineParser &parser, QString *error)
{
    return ConnectionOptions::fromParser(parser, &m_connection, error);
}

void SensorCommand::start()
{
    m_device = new BriscaDevice(this);
    m_device->setConnectionParameter(QModbusDevice::SerialPortNameParameter, m_connection.port);
    m_device->setConnectionParameter(QModbusDevice::SerialParityParameter,
                                     int(m_connection.parity));
    m_device->setConnectionParameter(QModbusDevice::SerialBaudRateParameter, m_connection.baud);
    m_device->setConnectionParameter(QModbusDevice::SerialDataBitsParameter,
                                     int(QSerialPort::Data8));
    // The parity bit takes the second stop bit's place, as on the connection page.
    m_device->setConnectionParameter(
        QModbusDevice::SerialStopBitsParameter,
        m_connection.parity == QSerialPort::NoParity ? QSerialPort::TwoStop : QSerialPort::OneStop);
    m_device->setTimeout(m_connection.timeoutMs);
    m_device->setNumberOfRetries(0);
    if (!m_device->connectDevice()) {
        fail(ExitPort, tr("cannot open %1: %2").arg(m_connection.port, m_device->errorString()));
        return;
    }

    connect(m_device, &BriscaDevice::signal_status, this, &SensorCommand::statusReceived);
    for (auto signal : {&BriscaDevice::coilsDataReady, &BriscaDevice::holdingRegsDataReady,
                        &BriscaDevice::inputRegsDataReady, &BriscaDevice::discreteInputsDataReady,
                        &BriscaDevice::app3DataReady})
        connect(m_device, signal, this, &SensorCommand::answerReceived);
    // A line that fails under way (adapter pulled) is closed by the device, which ends the
    // pending requests with errors; say why before those arrive.
    connect(m_device, &QModbusDevice::errorOccurred, this, [this](QModbusDevice::Error error) {
        if (error == QModbusDevice::ReadError || error == QModbusDevice::WriteError ||
            error == QModbusDevice::ConnectionError)
            endWithError(ExitNoAnswer, tr("the line failed: %1").arg(m_device->errorString()));
    });
    connect(m_device, &BriscaDevice::connectionValidated, this, [this] {
        if (m_stage != Stage::Validating)
            return;
        m_stage = Stage::Idle;
        // Coils and holding registers, each one request.
        m_device->readSettings(quint8(m_connection.slave));
        awaitAnswers(2, [this] { sensorReady(); });
    });

    m_stage = Stage::Validating;
    m_device->selectSlave(quint8(m_connection.slave));
}

void SensorCommand::interrupt()
{
    end(ExitInterrupted);
}

void SensorCommand::awaitAnswers(int count, std::function<void()> then)
{
    m_stage = Stage::Reading;
    m_pending = count;
    m_then = std::move(then);
}

void SensorCommand::answerReceived()
{
    if (isFinished() || m_stage != Stage::Reading)
        return;
    if (--m_pending > 0)
        return;
    m_stage = Stage::Idle;
    const std::function<void()> then = std::move(m_then);
    m_then = nullptr;
    then();
}

void SensorCommand::statusReceived(const QString &text)
{
    if (isFinished() || m_ignoreStatus)
        return;
    // The device announces some operations; those texts are no answers.
    if (text == BriscaDevice::tr("Reading settings, please wait") ||
        text == BriscaDevice::tr("Grabbing image..."))
        return;
    switch (m_stage) {
    case Stage::Validating:
        // The probe reports only its failure as text.
        endWithError(ExitNoAnswer, tr("no Brisca sensor answered as slave %1 on %2: %3")
                                       .arg(m_connection.slave)
                                       .arg(lineDescription(), text));
        break;
    case Stage::Reading:
    case Stage::Idle:
        endWithError(ExitNoAnswer,
                     tr("slave %1 on %2: %3").arg(m_connection.slave).arg(lineDescription(), text));
        break;
    }
}

QString SensorCommand::lineDescription() const
{
    return tr("%1 at %2 baud, %3 parity")
        .arg(m_connection.port)
        .arg(m_connection.baud)
        .arg(parityName(m_connection.parity));
}

void SensorCommand::end(int status)
{
    m_stage = Stage::Idle;
    finish(status);
    // Closing ends every request still queued; their error texts come after the verdict and
    // are ignored. A clean close also gives the line its settings back.
    if (m_device)
        m_device->disconnectDevice();
}

void SensorCommand::endWithError(int status, const QString &message)
{
    if (isFinished())
        return;
    printError(message + failureNote());
    end(status);
}

} // namespace BriscaCli
