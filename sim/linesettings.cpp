#include "linesettings.h"

// termios2 carries rates that have no B constant (14400, 56000, 128000, 256000, ...); its
// header clashes with <termios.h>, so nothing else of the simulator includes it.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace BriscaSim {

namespace {

constexpr int BaudTable[] = {1200,  2400,  4800,  9600,   14400,  19200, 28800,
                             38400, 56000, 57600, 115200, 128000, 256000};
constexpr int BaudCount = int(sizeof BaudTable / sizeof BaudTable[0]);

} // namespace

std::string LineSettings::text() const
{
    return std::to_string(baud) + ' ' + std::to_string(dataBits) + parity +
           std::to_string(stopBits);
}

bool knownBaud(int baud)
{
    for (int rate : BaudTable) {
        if (rate == baud)
            return true;
    }
    return false;
}

uint16_t serialSettingsCode(int baud, char parity)
{
    int index = 0;
    for (int i = 0; i < BaudCount; ++i) {
        if (BaudTable[i] == baud)
            index = i;
    }
    const int parityCode = parity == 'O' ? 1 : parity == 'E' ? 2 : 0;
    return static_cast<uint16_t>(index * 4 + parityCode);
}

bool settingsFromCode(uint16_t code, LineSettings &settings)
{
    const int index = code >> 2, parityCode = code & 3;
    if (index >= BaudCount || parityCode == 3)
        return false;
    settings.baud = BaudTable[index];
    settings.dataBits = 8;
    settings.parity = parityCode == 0 ? 'N' : parityCode == 1 ? 'O' : 'E';
    settings.stopBits = parityCode == 0 ? 2 : 1;
    return true;
}

bool hears(const LineSettings &own, const LineSettings &line)
{
    // A receiver checks only the first stop bit, so stop bits matter only as far as they
    // stand in for the parity the pty cannot show.
    return own.baud == line.baud && own.dataBits == line.dataBits && own.parity == line.parity;
}

bool readPtySettings(int fd, LineSettings &settings)
{
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return false;
    settings.baud = int(t.c_ospeed);
    switch (t.c_cflag & CSIZE) {
    case CS5:
        settings.dataBits = 5;
        break;
    case CS6:
        settings.dataBits = 6;
        break;
    case CS7:
        settings.dataBits = 7;
        break;
    default:
        settings.dataBits = 8;
        break;
    }
    settings.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    if (t.c_cflag & PARENB) // a terminal that keeps it
        settings.parity = (t.c_cflag & PARODD) ? 'O' : 'E';
    else if (t.c_cflag & PARODD)
        settings.parity = 'O';
    else
        settings.parity = settings.stopBits == 2 ? 'N' : 'E';
    return true;
}

} // namespace BriscaSim
