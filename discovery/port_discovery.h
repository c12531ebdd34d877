#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "meter_port.h"
#include "serial_layer.h"

// One listed serial port and what is known of it without opening it: on Linux the driver and,
// for USB, vendor:product and the product's name (from sysfs); on Windows the registry's name
// of the device (\Device\Serial0). Ports named in DRAVIK_EXTRA_PORTS say so.
struct PortInfo {
    std::wstring name;
    std::wstring description;
    // Linux: udev's /dev/serial/by-path and /dev/serial/by-id links that lead to the port, in
    // natural order. They stay with the USB socket and with the adapter, where ttyUSB<n>
    // follows the order the adapters were plugged in. Empty elsewhere.
    std::vector<std::wstring> byPath = {};
    std::vector<std::wstring> byId = {};
};

// Appends the machine's serial ports to `list`, in a stable order (Windows: registry order;
// Linux: natural order of the sysfs names, then DRAVIK_EXTRA_PORTS).
void EnumSerialPorts(std::vector<PortInfo>& list);

// A port list to search: EnumSerialPorts, or a list of the caller's (a test's, a pty's).
using PortLister = std::function<void(std::vector<PortInfo>&)>;

// What became of one port a search tried.
enum class PortOutcome {
    Answered,  // the meter
    NoAnswer,
    NotSent,  // opened, but the probe did not go out whole in the probe's time (flow control)
    WrongAnswer,
    Busy,  // another program has it; the holder, where the system shows it
    PermissionDenied,
    LineDiscipline,  // a kernel driver has the line
    Gone,
    Console,     // carries the system console: never opened
    OpenFailed,  // would not open, or not be set up, for another reason
};

// What a refused open makes of a probe (Other and Opened: OpenFailed).
PortOutcome RefusedBecause(OpenReason reason);

// What probing one port found. A search reports one per port it tried, in order.
struct PortProbe {
    std::wstring port;
    PortOutcome outcome = PortOutcome::NoAnswer;
    PortHolder holder;    // for Busy
    NodeAccess access{};  // for PermissionDenied
    // The holder check ran out of time before it could clear this port: another program may
    // hold it unseen.
    bool holderUnchecked = false;

    bool Answered() const { return outcome == PortOutcome::Answered; }
    bool operator==(const PortProbe&) const = default;
};

// Who else has the listed ports open, from one look at the system for the whole list: its
// cost grows with every descriptor of every process, not with the ports.
struct HolderScan {
    std::map<std::wstring, PortHolder> held;
    // Ports the look was cut short before clearing, when it ran out of time.
    std::set<std::wstring> unchecked;
};

// Linux: the programs holding the hardware ports of the list (those listed from sysfs; a pty
// is exempt, as a simulator holds its own), within kHolderScanLimit, or less once `stop` is
// stopped (the ports not cleared by then are unchecked). Windows has no such check (an open
// reports a port in use), so its check finds nothing.
inline constexpr std::chrono::milliseconds kHolderScanLimit{2000};
using HolderCheck =
    std::function<HolderScan(const std::vector<std::wstring>& ports, const StopToken& stop)>;
HolderCheck PlatformHolderCheck();

// What can be seen of a listed port without opening it for writing: Busy with the lock file
// that holds it, PermissionDenied, Console or Gone, else Opened (nothing in the way that the
// system shows; a holder only an open reveals, such as another program's TIOCEXCL, stays
// unseen). Linux: access rights, the console and the UUCP lock file; Windows shows nothing
// without an open.
using PortPeek = std::function<OpenStatus(const std::wstring& port)>;
PortPeek PlatformPortPeek();

// What can be seen of one listed port without opening it, as `ports` shows it.
struct PeekedPort {
    OpenStatus seen;
    bool holderUnchecked = false;  // as PortProbe's

    bool operator==(const PeekedPort&) const = default;
};

// Each listed port as `peek` sees it, and where it sees nothing in the way, the holder one
// look with `holders` finds for the whole list.
std::vector<PeekedPort> PeekPorts(const std::vector<PortInfo>& ports, const PortPeek& peek,
                                  const HolderCheck& holders, const StopToken& stop);

enum class ProbeScope {
    // What the dialog needs: one port at a time, in order, and the search ends at the meter;
    // no port after it is touched.
    UpToFirstAnswer,
    // A station with several meters: every listed port is probed once (a name listed twice,
    // once), up to eight side by side on threads of the search's own, the rest queued. The
    // result is in list order, whichever answered first.
    EveryPort,
};

// Probes the listed ports for a meter (an empty entry is no port and is skipped). Every probe is
// closed again; a search in which one answered ends with a short pause before the caller may
// open it. Before the first probe `holderOf` looks once at the whole list: a port it names a
// holder for is not opened at all, but costs the pause of a probe. Once a stop is requested no
// further port is taken; the probes under way end at their next step (their wait is cut short)
// and are reported, so the result is always the first ports of the list. With EveryPort,
// `layer` gets calls on several handles at once from different threads.
std::vector<PortProbe> ProbePorts(ISerialLayer& layer, const PortLister& listPorts,
                                  ProbeScope scope = ProbeScope::UpToFirstAnswer,
                                  const HolderCheck& holderOf = {});

// Probes a port the station named (dravik-cli set --port, the library's open with a port) before
// anything else is written to it: the holder check, then the search's probe, whose wait ends as
// soon as the meter's answer has come whole. Only a port that Answered is the meter; it is left
// open on `meter` for the caller, which needs no pause before its first frame then. Any other is
// closed, and a port that would not open says why as in a search.
PortProbe ProbeNamedPort(CMeterPort& meter, const std::wstring& port,
                         const HolderCheck& holderOf = {});

// The port a search up to the first answer found, or an empty string.
std::wstring FoundPort(const std::vector<PortProbe>& probes);
