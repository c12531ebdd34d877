#pragma once

// The Windows port list, split from EnumSerialPorts so that tests can walk a key of their own.

#include <string>
#include <vector>

#include "port_discovery.h"

// Appends every value of HKEY_LOCAL_MACHINE\<subKey> that fits the buffers, in the order the
// registry enumerates them: its data (the COM name) as the port, its name (the device,
// \Device\Serial0) as the description. Leaves `list` unchanged when the key cannot be opened.
void EnumSerialPortsFromKey(std::vector<PortInfo>& list, const wchar_t* subKey);
