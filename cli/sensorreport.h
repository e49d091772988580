#pragma once

#include <QJsonObject>
#include <QString>

class BriscaDevice;

// What `info` and `read` print, from the device's caches. Every value is decoded through
// briscaregisters.h. The JSON carries each raw register value next to its meaning, so a
// script can do its own conversion; its keys are part of the tool's interface.
namespace BriscaCli::SensorReport {

QJsonObject settingsJson(const BriscaDevice &device);
// One "name  value unit" line per setting.
QString settingsText(const BriscaDevice &device);

QJsonObject measurementsJson(const BriscaDevice &device);
QString measurementsText(const BriscaDevice &device);

} // namespace BriscaCli::SensorReport
