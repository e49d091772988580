#pragma once

#include <QtGlobal>

#include <cmath>
#include <limits>

// What the client knows about the sensor's Modbus data model: addresses, block sizes and
// the value encodings. Everything here is constant or a pure function, so windows and the
// image view can decode values without ever touching a register themselves.
//
// Addresses are the 0-based protocol addresses that go into a request unchanged.
namespace Brisca {

// Coils (one block of 13 from address 0, written one at a time)
enum Coil : int
{
    CoilNoNcEnabled = 0,
    CoilAlarmTimerBased = 1,
    CoilOutputNormallyClosed = 2,
    CoilTransistorNpn = 3,
    CoilCounterUnidirectional = 4,
    CoilApp1Enabled = 5,
    CoilApp2Enabled = 6,
    CoilApp3Enabled = 7,
    Coil8 = 8,
    CoilApp1LimitFov = 9,
    CoilFrameAverage = 10,
    CoilNoNcOutputActive = 11,
    CoilApp3CounterReset = 12,
};
constexpr int CoilCount = 13;

// Discrete inputs (one block of 5 from address 0, read only)
enum DiscreteInput : int
{
    DiscreteInput0 = 0,
    DiscreteInput1 = 1,
    DiscreteInputApp1Alarm = 2,
    DiscreteInputApp2Alarm = 3,
    DiscreteInputApp3Alarm = 4,
};
constexpr int DiscreteInputCount = 5;

// Holding registers (one block of 14 from address 0)
enum HoldingRegister : int
{
    HoldingSlaveAddress = 0,
    HoldingSerialSettings = 1,
    HoldingApp1MaxThreshold = 2,
    HoldingApp1MinThreshold = 3,
    HoldingApp2MaxThreshold = 4,
    HoldingApp2MinThreshold = 5,
    HoldingApp3MaxThreshold = 6,
    HoldingApp3MinThreshold = 7,
    HoldingAlarmDuration = 8,
    HoldingEmissivity = 9,
    HoldingReticleSize = 10,
    HoldingMovingAverageWindow = 11,
    HoldingGridRoiSize = 12,
    HoldingTemperatureChoice = 13,
};
constexpr int HoldingRegisterCount = 14;

// Input registers
enum InputRegister : int
{
    InputApp1MinTemp = 0,
    InputApp1MinPosition = 1,
    InputApp1MaxTemp = 2,
    InputApp1MaxPosition = 3,
    InputApp1AvgTemp = 4,
    InputApp3BlockStart = 5, // 16 registers, 5..20
    InputApp3HighestBreachTemp = 21,
    InputApp3HighestBreachArea = 22,
    InputApp3Counter = 23,
    InputApp2AvgTemp = 24,
    InputRoiTemperaturesStart = 25, // 256 registers, 25..280
    InputFrameStart = 281,          // 1024 registers, 281..1304
};
constexpr int App1MeasurementCount = 5;
constexpr int App3BlockSize = 16;
constexpr int App3DataCount = 19; // 5..23
constexpr int RoiTemperatureCount = 256;
constexpr int InputRoiTemperaturesEnd = InputRoiTemperaturesStart + RoiTemperatureCount - 1; // 280
constexpr int FrameWidth = 32;
constexpr int FrameHeight = 32;
constexpr int FramePixelCount = FrameWidth * FrameHeight;
constexpr int InputFrameEnd = InputFrameStart + FramePixelCount - 1; // 1304

// The protocol caps a register read at 125 values; the frame and region reads are cut
// into chunks of that size.
constexpr int MaxRegistersPerRead = 125;

// Writing 1000 into the reticle side is out of range for a genuine sensor, which answers
// with "illegal data value". That refusal is how a slave proves it is a Brisca.
constexpr int ProbeRegister = HoldingReticleSize;
constexpr quint16 ProbeValue = 1000;
constexpr quint8 ProbeExpectedException = 0x03;

// What a sensor answers with when it leaves the factory or after a factory reset: the
// connection page's defaults.
constexpr int FactorySlaveAddress = 1;
constexpr qint32 FactoryBaudRate = 19200;

// Vendor-specific function code that restores the factory settings; no data, no answer.
constexpr quint8 FactoryResetFunctionCode = 0xFF;

// Temperature choice of the alarms (holding register 13)
enum TemperatureChoice : quint8
{
    TemperatureHot = 1,
    TemperatureCold = 2,
    TemperatureHotAndCold = 3,
};

// Parity code as the sensor stores it in the serial settings code.
enum ParityCode : quint8
{
    ParityCodeNone = 0,
    ParityCodeOdd = 1,
    ParityCodeEven = 2,
};

// --- Temperatures: every temperature on the bus is a count of tenths of a kelvin ---

// The division runs in single precision on purpose: labels, editors and the image all
// show the same digits this way (raw 3103 reads 37.1, not 37.2).
inline float kelvinTenthsToCelsius(quint16 raw)
{
    const float tenths = float(raw) / 10.0f;
    return float(double(tenths) - 273.15);
}

// Truncates toward zero and keeps the low 16 bits. Values that do not fit a 32-bit
// integer (or are not numbers) are clamped first so the conversion stays defined.
inline quint16 celsiusToKelvinTenths(double celsius)
{
    const double tenths = (celsius + 273.15) * 10.0;
    qint32 whole = 0;
    if (std::isnan(tenths))
        whole = 0;
    else if (tenths >= double(std::numeric_limits<qint32>::max()))
        whole = std::numeric_limits<qint32>::max();
    else if (tenths <= double(std::numeric_limits<qint32>::min()))
        whole = std::numeric_limits<qint32>::min();
    else
        whole = qint32(tenths);
    return quint16(quint32(whole) & 0xFFFFu);
}

// The exact temperature of a raw value in hundredths of a degree Celsius, computed in
// integers: a tenth of a kelvin is ten hundredths and 0 °C lies 27315 hundredths above zero
// kelvin, so the result always ends in 5 and gives the raw value back exactly
// (raw = (hundredths + 27315) / 10). Recordings and the trends use it where a file or a
// plot must keep what the sensor sent.
constexpr int celsiusHundredths(quint16 raw)
{
    return int(raw) * 10 - 27315;
}

// A temperature as a threshold editor shows it, in tenths of a degree. A raw value lies
// exactly half a tenth of a degree between two tenths (2981 is 24.95 degrees), and the
// single-precision path above rounds that half down for about half of all raw values
// (5131 shows as 239.9, while typing 240.0 gives 5131): then no raw value shows as what
// was typed, and every write of a value the operator left alone lowers it by a tenth. Here
// the half is always rounded up, exactly, which makes the two directions inverse:
// celsiusToKelvinTenths(thresholdCelsius(raw)) == raw, and a typed tenth comes back as
// typed.
constexpr double thresholdCelsius(quint16 raw)
{
    return (int(raw) - 2731) / 10.0;
}

// --- Position registers (input registers 1 and 3): two 8-bit coordinates ---

// Shown first in the "(x,y)" style texts.
constexpr quint8 positionFirst(quint16 reg)
{
    return quint8(reg & 0xFFu);
}

// Shown second.
constexpr quint8 positionSecond(quint16 reg)
{
    return quint8((reg >> 8) & 0xFFu);
}

// --- Serial settings code (holding register 1) ---

// Index of a baud rate in the sensor's table; rates it does not know count as 1200.
constexpr quint8 baudIndex(quint32 baud)
{
    switch (baud) {
    case 2400:
        return 1;
    case 4800:
        return 2;
    case 9600:
        return 3;
    case 14400:
        return 4;
    case 19200:
        return 5;
    case 28800:
        return 6;
    case 38400:
        return 7;
    case 56000:
        return 8;
    case 57600:
        return 9;
    case 115200:
        return 10;
    case 128000:
        return 11;
    case 256000:
        return 12;
    default:
        return 0;
    }
}

// The inverse of baudIndex(); unknown indices give 0.
constexpr quint32 baudRateOfIndex(quint8 index)
{
    constexpr quint32 rates[] = {1200,  2400,  4800,  9600,   14400,  19200, 28800,
                                 38400, 56000, 57600, 115200, 128000, 256000};
    return index < sizeof(rates) / sizeof(rates[0]) ? rates[index] : 0;
}

// Whether the sensor can be set to speak at `baud` at all; baudIndex() maps every other rate
// to 1200, which would hide a typing error.
constexpr bool isSensorBaudRate(quint32 baud)
{
    return baud == 1200 || baudIndex(baud) != 0;
}

// Parity lists on screen read "None", "Even", "Odd"; the sensor numbers them differently.
constexpr quint8 parityCodeFromIndex(int parityIndex)
{
    return parityIndex == 0 ? ParityCodeNone : parityIndex == 1 ? ParityCodeEven : ParityCodeOdd;
}

constexpr quint16 serialSettingsCode(quint32 baud, quint8 parityCode)
{
    return quint16(baudIndex(baud) * 4 + parityCode);
}

constexpr quint8 parityCodeOfSettings(quint16 code)
{
    return quint8(code & 0x3u);
}

constexpr quint8 baudIndexOfSettings(quint16 code)
{
    return quint8((code >> 2) & 0xFu);
}

// --- Application 3 measurements ---

// Input register 21 holds 0 while no area breaches its thresholds; that is no temperature
// and is shown as "N/A".
constexpr bool hasBreachTemperature(quint16 raw)
{
    return raw != 0;
}

// --- Application 3 grid ---

// Region side in pixels for a grid ROI size code: 2 to the power of the code, kept to
// 8 bits as the view takes it (codes 1..4 give 2, 4, 8, 16; from 8 on the low byte is 0).
constexpr quint8 roiSideFromGridCode(quint8 code)
{
    return code >= 8 ? quint8(0) : quint8(1u << code);
}

// Grid ROI size codes the sensor defines (2, 4, 8 and 16 pixel regions); a grid is drawn
// only for these.
constexpr bool gridCodeKnown(quint8 code)
{
    return code >= 1 && code <= 4;
}

// Number of regions of the grid: 256, 64, 16 or 4 for the codes 1..4; 0 for a side that
// does not tile the frame.
constexpr int roiCountFromGridCode(quint8 code)
{
    const int side = roiSideFromGridCode(code);
    return (side == 0 || FrameWidth % side != 0) ? 0 : (FrameWidth / side) * (FrameHeight / side);
}

// Frame element i sits in column i / 32 and row i % 32 (rows counted from the bottom).
constexpr int frameColumn(int index)
{
    return index / FrameHeight;
}

constexpr int frameRow(int index)
{
    return index % FrameHeight;
}

} // namespace Brisca
