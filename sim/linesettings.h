#pragma once

#include <cstdint>
#include <string>

namespace BriscaSim {

// What a serial port on the line is set to. A sensor understands the characters on the line
// only when the master's port and its own agree; otherwise it hears noise.
struct LineSettings
{
    int baud = 19200;
    int dataBits = 8;
    char parity = 'E'; // 'N', 'E' or 'O'
    int stopBits = 1;

    bool operator==(const LineSettings &other) const
    {
        return baud == other.baud && dataBits == other.dataBits && parity == other.parity &&
               stopBits == other.stopBits;
    }
    bool operator!=(const LineSettings &other) const { return !(*this == other); }
    // "19200 8E1"
    std::string text() const;
};

// The rates a Brisca sensor knows, in the order of the baud index of holding register 1.
bool knownBaud(int baud);
// Serial settings code of holding register 1 for a line setting; rates the sensor does not
// know count as 1200.
uint16_t serialSettingsCode(int baud, char parity);
// The line a sensor with serial settings code `code` listens on: 8 data bits, two stop bits
// without parity and one with. False for a code no sensor can be set to.
bool settingsFromCode(uint16_t code, LineSettings &settings);

// Whether a sensor set to `own` makes sense of characters sent with `line`.
bool hears(const LineSettings &own, const LineSettings &line);

// The settings the master put on the pseudo-terminal behind `fd`. A Linux pty keeps the speed
// (any rate, standard or not), the stop bits and PARODD, but always reports 8 data bits and
// clears PARENB. The parity is therefore read the way the master pairs it with the stop bits:
// PARODD is odd parity, two stop bits without it no parity, one stop bit even parity.
bool readPtySettings(int fd, LineSettings &settings);

} // namespace BriscaSim
