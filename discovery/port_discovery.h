#pragma once

#include <functional>
#include <string>
#include <vector>

class ISerialLayer;

// Appends the machine's serial ports to `list`, in a stable order (Windows: registry order;
// Linux: natural order of the sysfs names, then DRAVIK_EXTRA_PORTS).
void EnumSerialPorts(std::vector<std::wstring>& list);

// Probes every listed port but `excludedPort` for the meter; returns the first that answers
// (closed again), or an empty string.
std::wstring FindMeterPort(const std::wstring& excludedPort);

// The same search on a given serial layer and port list; FindMeterPort(excluded) uses the
// platform layer and EnumSerialPorts.
using PortLister = std::function<void(std::vector<std::wstring>&)>;
std::wstring FindMeterPort(const std::wstring& excludedPort, ISerialLayer& layer,
                           const PortLister& enumerate);
