#pragma once

// How the Linux layer maps the link's line state onto termios, and a driver's error counters
// onto the link's error flags: pure functions, so the mapping can be checked without a tty.

#include <termios.h>

#include <cstdint>
#include <optional>

#include "event_history_linux.h"

// The termios speed for a rate in baud; nullopt for one termios has no code for.
std::optional<speed_t> SpeedCode(std::uint32_t rate);
// The rate of a termios speed; 0 for one outside the table.
std::uint32_t SpeedRate(speed_t code);

// CS5..CS8 for 5..8 data bits; nullopt for any other size.
std::optional<tcflag_t> SizeFlag(std::uint8_t byteSize);
std::uint8_t ByteSize(tcflag_t cflag);

// Makes `tio` a raw line at `speed` with `size` data bits: no input or output processing, no
// signals or echo, reads that never wait. Parity, stop bits and hardware flow control stay as
// they are. False when termios refuses the speed.
bool MakeRaw(termios& tio, speed_t speed, tcflag_t size);
// Whether `tio` is such a line: tcsetattr succeeds when any part of a change took.
bool IsRaw(const termios& tio, speed_t speed, tcflag_t size);

// The kCe* flags of the errors counted between two readings of a driver's counters.
std::uint32_t ErrorFlags(const LineCounters& before, const LineCounters& now);
