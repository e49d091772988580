#include "readcommands.h"

#include "briscadevice.h"
#include "briscaregisters.h"
#include "sensorreport.h"

#include <QJsonDocument>

namespace BriscaCli {

namespace {

void printJson(const QJsonObject &object)
{
    printOut(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented)));
}

} // namespace

void InfoCommand::sensorReady()
{
    if (m_json)
        printJson(SensorReport::settingsJson(*device()));
    else
        printOut(SensorReport::settingsText(*device()));
    end(ExitSuccess);
}

void ReadCommand::sensorReady()
{
    // One request each for the application 1 block, the application 2 average, the alarm
    // states and the application 3 block, then the region temperatures in chunks of the
    // largest read the protocol allows.
    constexpr int regionChunks = (Brisca::RoiTemperatureCount + Brisca::MaxRegistersPerRead - 1) /
                                 Brisca::MaxRegistersPerRead;
    device()->updateMeasurements();
    awaitAnswers(4 + regionChunks, [this] {
        if (m_json)
            printJson(SensorReport::measurementsJson(*device()));
        else
            printOut(SensorReport::measurementsText(*device()));
        end(ExitSuccess);
    });
}

} // namespace BriscaCli
