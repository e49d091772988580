#pragma once

#include "sensorcommand.h"

namespace BriscaCli {

// `brisca info`: the sensor's settings, by name, with units.
class InfoCommand : public SensorCommand
{
    Q_OBJECT
public:
    using SensorCommand::SensorCommand;

protected:
    void sensorReady() override;
};

// `brisca read`: the measurements and alarm states of the three applications.
class ReadCommand : public SensorCommand
{
    Q_OBJECT
public:
    using SensorCommand::SensorCommand;

protected:
    void sensorReady() override;
};

} // namespace BriscaCli
