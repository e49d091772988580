#pragma once

#include <QString>
#include <QtGlobal>

class QModbusPdu;
class QModbusReply;

// Reading an answer as it came off the line, shared by everything that probes a slave.
namespace Brisca {

// The function code byte of an answer as it was on the wire. Qt's RTU master turns that
// byte into the answer's code through a plain char, so an exception answer (bit 7 set) holds
// a negative value that is no FunctionCode, and QModbusPdu's inline accessors would read an
// out-of-range enum. Qt's own serialisation writes the byte back unchanged.
quint8 wireFunctionCode(const QModbusPdu &pdu);

// The exception code of an exception answer (its first data byte, 0xFF when it carries
// none), or -1 for any other answer.
int exceptionCode(const QModbusPdu &pdu);

// What the answer to the validation probe says about the slave.
struct ProbeVerdict
{
    bool answered = false; // something answered (silence and damaged answers do not count)
    bool sensor = false;   // it refused the probe as only a Brisca sensor does
    QString answer;        // what it answered, for the operator
};
ProbeVerdict probeVerdict(const QModbusReply &reply);

} // namespace Brisca
