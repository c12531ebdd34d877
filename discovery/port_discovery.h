#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "serial_layer.h"

// Appends the machine's serial ports to `list`, in a stable order (Windows: registry order;
// Linux: natural order of the sysfs names, then DRAVIK_EXTRA_PORTS).
void EnumSerialPorts(std::vector<std::wstring>& list);

// What became of one port a search tried.
enum class PortOutcome {
    Answered,  // the meter
    NoAnswer,
    WrongAnswer,
    Busy,  // another program has it; the holder, where the system shows it
    PermissionDenied,
    LineDiscipline,  // a kernel driver has the line
    Gone,
    OpenFailed,  // would not open, or not be set up, for another reason
};

struct PortAttempt {
    std::wstring port;
    PortOutcome outcome = PortOutcome::NoAnswer;
    PortHolder holder;

    bool operator==(const PortAttempt&) const = default;
};

// Who else has a listed port open, as far as the system shows without opening it; nullopt
// when nobody is seen. Linux: the programs holding a hardware port (one listed from sysfs; a
// pty is exempt, as a simulator holds its own); Windows has no such check (an open reports a
// port in use), so its check is empty.
using HolderCheck = std::function<std::optional<PortHolder>(const std::wstring& port)>;
HolderCheck PlatformHolderCheck();

// Probes every listed port but `excludedPort` for the meter; returns the first that answers
// (closed again), or an empty string.
std::wstring FindMeterPort(const std::wstring& excludedPort);

// The same search on a given serial layer and port list; FindMeterPort(excluded) uses the
// platform layer, EnumSerialPorts and PlatformHolderCheck. A port `holderOf` names a holder for
// is not opened at all. When `tried` is given, it receives what became of each port tried, in
// the order tried.
using PortLister = std::function<void(std::vector<std::wstring>&)>;
std::wstring FindMeterPort(const std::wstring& excludedPort, ISerialLayer& layer,
                           const PortLister& enumerate, const HolderCheck& holderOf = {},
                           std::vector<PortAttempt>* tried = nullptr);
