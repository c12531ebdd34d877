#pragma once

#include <functional>
#include <string>
#include <vector>

class ISerialLayer;

// One listed serial port and what is known of it without opening it: on Linux the driver and,
// for USB, vendor:product and the product's name (from sysfs); on Windows the registry's name
// of the device (\Device\Serial0). Ports named in DRAVIK_EXTRA_PORTS say so.
struct PortInfo {
    std::wstring name;
    std::wstring description;
};

// Appends the machine's serial ports to `list`, in a stable order (Windows: registry order;
// Linux: natural order of the sysfs names, then DRAVIK_EXTRA_PORTS).
void ListSerialPorts(std::vector<PortInfo>& list);

// The names of what ListSerialPorts lists, in the same order.
void EnumSerialPorts(std::vector<std::wstring>& list);

using PortLister = std::function<void(std::vector<std::wstring>&)>;
using PortInfoLister = std::function<void(std::vector<PortInfo>&)>;

// The names of what `listPorts` lists, as the search takes them.
PortLister PortNames(PortInfoLister listPorts);

// What probing one port found. A search reports one per port it probed, in order.
struct PortProbe {
    std::wstring port;
    bool answered = false;
};

enum class ProbeScope {
    UpToFirstAnswer,  // what the dialog needs: the search ends at the meter
    EveryPort,        // a station with several meters: every listed port is probed
};

// Probes the listed ports but `excludedPort`, in order, for a meter. Every probe is closed
// again; one that answered is followed by a short pause before the caller may open it.
std::vector<PortProbe> ProbePorts(const std::wstring& excludedPort, ISerialLayer& layer,
                                  const PortLister& enumerate, ProbeScope scope);

// The first port but `excludedPort` that answers, or an empty string: ProbePorts up to the
// first answer, on the platform layer and EnumSerialPorts.
std::wstring FindMeterPort(const std::wstring& excludedPort);

// The same search on a given serial layer and port list.
std::wstring FindMeterPort(const std::wstring& excludedPort, ISerialLayer& layer,
                           const PortLister& enumerate);
