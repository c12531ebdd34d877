#pragma once

// The lines of `ports` and `find`, one a port, for dravik-cli's stdout and the library's
// dravik_list alike: the same JSON objects under the same keys, or the text lines dravik-cli
// prints without --json.

#include <string>
#include <vector>

#include "port_discovery.h"

// Every port `listPorts` lists, in its order, with what can be seen of it without opening it.
// JSON: port, description, state, by_path, by_id. Text: the port, a tab, its description and
// the /dev/serial names that lead to it, a tab, its state; outside text's controls spelt out.
// The holder check's look ends early once `stop` is stopped.
std::string PortLines(const PortLister& listPorts, const PortPeek& peek, const HolderCheck& holders,
                      const StopToken& stop, bool json);

// The ports a search tried that answered, or with `everyTried` all of them, in the order tried.
// JSON: port, found, reason (what became of it, "" when found). Text: the port.
std::string FindLines(const std::vector<PortProbe>& probes, bool json, bool everyTried);
