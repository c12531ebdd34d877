#pragma once

// The statuses every front end reports, each once: its number, the name the library and its
// wrappers give it, and what it means. 0 to 4 and 128+N are dravik-cli's exit statuses, 0 to 9
// the library's DRAVIK_* codes; station scripts and hosts depend on both. dravik-cli's --help
// is made from this table; dravik.h, the Python package, the .NET assembly, the manual page's
// section (which takes the place of what help2man would make of --help's), the zip's README.txt
// and README.md keep copies that tests/session checks against it.

#include <cstddef>
#include <string>

inline constexpr int kStatusConfirmed = 0;
inline constexpr int kStatusNotConfirmed = 1;
inline constexpr int kStatusInvalid = 2;
inline constexpr int kStatusNoMeter = 3;
inline constexpr int kStatusPortUnavailable = 4;
// Ended by a stop request: 128 + its signal number.
inline constexpr int kStatusStoppedBase = 128;

struct StatusRow {
    int number;
    // DRAVIK_<name> in C, <name> in Python, in PascalCase .NET's DravikStatus. The stopped
    // run's has none: it is no code of the library's.
    const char* name;
    bool exitStatus;  // also one of dravik-cli's
    // One line: for an exit status what the run did, else what the library's call did.
    const char* meaning;
};

inline constexpr StatusRow kStatuses[] = {
    {kStatusConfirmed, "CONFIRMED", true, "every channel answered"},
    {kStatusNotConfirmed, "NOT_CONFIRMED", true,
     "a channel was not confirmed: no answer (the channels after it were not sent), its frame "
     "not taken by the driver, or its log row not written; or stdout failed"},
    {kStatusInvalid, "INVALID_ARGUMENT", true,
     "usage or input error: nothing opened, nothing sent"},
    {kStatusNoMeter, "NO_METER", true,
     "no meter found, or the --port given did not answer as the meter"},
    {kStatusPortUnavailable, "PORT_UNAVAILABLE", true,
     "the port could not be opened, or was lost (the channels after it not sent)"},
    {5, "CANCELLED", false, "dravik_cancel ended it; nothing more is sent in the run"},
    {6, "LOG_FAILED", false, "the log could not be opened or take a row"},
    {7, "BAD_HANDLE", false, "0, closed or never issued session"},
    {8, "INTERNAL_ERROR", false, "not finished (out of memory): nothing more is sent on it"},
    {9, "BUSY", false, "another call on the session runs: this one did nothing"},
    {kStatusStoppedBase, "", true, "ended by signal N (Ctrl-C: 130), the port left as found"},
};

// The exit statuses as --help and README.txt list them, one a line without a last line end:
// "  0      every channel answered", the meaning wrapped at `width` columns under itself; the
// stopped run's as 128+N.
std::string ExitStatusList(std::size_t width);
