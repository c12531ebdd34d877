#pragma once

// The Linux port list, split from EnumSerialPorts so that tests can run it on fake sysfs trees
// and device directories of their own: nothing here may ever open the machine's own serial
// devices from a test.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "port_discovery.h"

// The UART type a serial-core driver reports for a port (TIOCGSERIAL), or nullopt when the
// device cannot be opened or does not say. 0 (PORT_UNKNOWN) means no UART sits behind the port.
using UartTypeQuery = std::function<std::optional<int>(const std::string& devicePath)>;

// The real query: opens the device non-blocking, without making it the controlling terminal,
// asks and closes it again.
std::optional<int> QueryUartType(const std::string& devicePath);

// The order of the list: natural order, runs of digits compared as numbers (ttyS2 before
// ttyS10). Only equal names are equivalent.
bool PortNameLess(const std::string& a, const std::string& b);

// Appends "<devRoot>/<name>" for every serial port under <sysfsRoot>/class/tty, in natural
// order of the names, with its hardware as sysfs describes it and the links in
// <devRoot>/serial/by-path and <devRoot>/serial/by-id that lead to it. `queryUartType` is asked
// only about serial-core ports whose sysfs `type` cannot be read, and never about a kernel console
// port.
void EnumSerialPortsFromSysfs(std::vector<PortInfo>& list, const std::string& sysfsRoot,
                              const std::string& devRoot, const UartTypeQuery& queryUartType);

// Appends the colon-separated device paths of DRAVIK_EXTRA_PORTS, in order; empty entries are
// ignored.
void AppendExtraPorts(std::vector<PortInfo>& list);
