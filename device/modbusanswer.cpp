#include "modbusanswer.h"

#include "briscaregisters.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QModbusReply>

namespace Brisca {

quint8 wireFunctionCode(const QModbusPdu &pdu)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << pdu;
    return bytes.isEmpty() ? quint8(0) : quint8(bytes.at(0));
}

int exceptionCode(const QModbusPdu &pdu)
{
    if (!(wireFunctionCode(pdu) & QModbusPdu::ExceptionByte))
        return -1;
    return pdu.dataSize() >= 1 ? quint8(pdu.data().at(0)) : 0xFF;
}

ProbeVerdict probeVerdict(const QModbusReply &reply)
{
    ProbeVerdict verdict;
    switch (reply.error()) {
    case QModbusDevice::ProtocolError: {
        const int code = exceptionCode(reply.rawResult());
        if (code < 0)
            break;
        verdict.answered = true;
        // Only the refusal of the out-of-range value proves a sensor of this kind; a device
        // that refuses for another reason is something else.
        verdict.sensor = code == ProbeExpectedException;
        verdict.answer = QCoreApplication::translate("BriscaScanner", "exception 0x%1")
                             .arg(QString::number(code, 16).rightJustified(2, QLatin1Char('0')));
        break;
    }
    case QModbusDevice::NoError:
        // A device that takes 1000 into holding register 10 is not a Brisca sensor.
        verdict.answered = true;
        verdict.answer = QCoreApplication::translate("BriscaScanner", "accepted the probe write");
        break;
    default:
        break;
    }
    return verdict;
}

} // namespace Brisca
