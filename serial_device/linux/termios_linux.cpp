#include "termios_linux.h"

#include <algorithm>
#include <array>

#include "serial_layer.h"

namespace {

struct BaudRate {
    std::uint32_t rate;
    speed_t code;
};

constexpr std::array<BaudRate, 30> kBaudRates{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

// Input processing that would alter or swallow bytes of a binary frame: CR/LF mapping, parity
// marking and stripping, and software flow control, which eats 0x11/0x13 wherever they occur
// (a correction factor's float easily contains them).
constexpr tcflag_t kRawInputOff = IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR |
                                  IGNCR | ICRNL | IXON | IXOFF | IXANY | IMAXBEL;
constexpr tcflag_t kRawLocalOff = ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;

}  // namespace

std::optional<speed_t> SpeedCode(std::uint32_t rate) {
    const auto it = std::find_if(kBaudRates.begin(), kBaudRates.end(),
                                 [rate](const BaudRate& b) { return b.rate == rate; });
    if (it == kBaudRates.end()) return std::nullopt;
    return it->code;
}

std::uint32_t SpeedRate(speed_t code) {
    const auto it = std::find_if(kBaudRates.begin(), kBaudRates.end(),
                                 [code](const BaudRate& b) { return b.code == code; });
    return it == kBaudRates.end() ? 0 : it->rate;
}

std::optional<tcflag_t> SizeFlag(std::uint8_t byteSize) {
    switch (byteSize) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        case 8:
            return CS8;
        default:
            return std::nullopt;
    }
}

std::uint8_t ByteSize(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

bool MakeRaw(termios& tio, speed_t speed, tcflag_t size) {
    tio.c_iflag &= ~kRawInputOff;
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~kRawLocalOff;
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | size | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0;
}

bool IsRaw(const termios& tio, speed_t speed, tcflag_t size) {
    return cfgetospeed(&tio) == speed && (tio.c_cflag & CSIZE) == size &&
           (tio.c_iflag & kRawInputOff) == 0 && (tio.c_lflag & kRawLocalOff) == 0 &&
           (tio.c_oflag & OPOST) == 0 && tio.c_cc[VMIN] == 0 && tio.c_cc[VTIME] == 0;
}

std::uint32_t ErrorFlags(const LineCounters& before, const LineCounters& now) {
    std::uint32_t flags = 0;
    if (now.frame != before.frame) flags |= kCeFrame;
    if (now.parity != before.parity) flags |= kCeRxParity;
    if (now.overrun != before.overrun) flags |= kCeOverrun;
    if (now.bufOverrun != before.bufOverrun) flags |= kCeRxOver;
    if (now.brk != before.brk) flags |= kCeBreak;
    return flags;
}
