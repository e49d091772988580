#pragma once

#include <QDateTime>
#include <QMap>
#include <QtGlobal>

// What happened on the link one BriscaDevice holds, counted per try on the line: a request
// that is repeated after a lost answer counts once per time it went out. Every try ends in
// exactly one of the outcomes below, so `requests` is their sum plus the one under way.
struct LinkStatistics
{
    quint64 requests = 0;
    // Answers taken as the answer to their request.
    quint64 answers = 0;
    // No answer within the reply timeout, or only a damaged one (bad CRC, cut short, from
    // another slave), which the master drops.
    quint64 timeouts = 0;
    // Refusals by the sensor, by exception code.
    QMap<quint8, quint64> exceptions;
    // Anything else: a reply aborted by a closing port, an answer the master could not read.
    quint64 otherErrors = 0;
    // Answers refused because their type, start or value count cannot belong to the request
    // they arrived for: late answers and the rest of answers cut by stray bytes.
    quint64 strayAnswers = 0;

    // Round trip of answers and refusals, from handing the request to the master.
    double lastRoundTripMs = -1;
    double meanRoundTripMs = -1;
    quint64 roundTrips = 0;

    // When the sensor last answered (a refusal is an answer too), and when a try last ended
    // without an answer that could be used; what a window needs to say how long it has been
    // silent.
    QDateTime lastAnswer;
    QDateTime lastFailure;

    quint64 exceptionCount() const
    {
        quint64 total = 0;
        for (quint64 n : exceptions)
            total += n;
        return total;
    }
    quint64 finished() const
    {
        return answers + timeouts + exceptionCount() + otherErrors + strayAnswers;
    }
};
