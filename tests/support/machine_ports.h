#pragma once

// Whether this machine lists no serial port of its own (Linux, from sysfs alone: the device
// query that would open a port is refused and counts as a listed port). A test or benchmark
// that lets discovery search the whole list runs only then: it would probe the machine's own
// ports first.
bool MachineListsNoPort();
