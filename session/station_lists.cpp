#include "station_lists.h"

#include "operator_text.h"
#include "station_json.h"
#include "utf8_text.h"

namespace {

std::string Shown(const std::wstring& text) {
    return Utf8FromWide(ShownText(text));
}

// What is known of the port, then the /dev/serial names that lead to it, which a station's
// --port can name instead of one that follows the plugging order.
std::wstring Described(const PortInfo& port) {
    std::wstring text = port.description;
    for (const std::vector<std::wstring>* names : {&port.byPath, &port.byId}) {
        for (const std::wstring& name : *names)
            text += (text.empty() ? L"" : L" ") + name;
    }
    return text;
}

}  // namespace

std::string PortLines(const PortLister& listPorts, const PortPeek& peek, const HolderCheck& holders,
                      const StopToken& stop, bool json) {
    std::vector<PortInfo> ports;
    listPorts(ports);
    const std::vector<PeekedPort> states = PeekPorts(ports, peek, holders, stop);
    std::string lines;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (json) {
            lines += PortJson(ports[i], states[i]);
        } else {
            lines += Shown(ports[i].name) + '\t' + Shown(Described(ports[i])) + '\t' +
                     Utf8FromWide(FormatPortState(states[i]));
        }
        lines += '\n';
    }
    return lines;
}

std::string FindLines(const std::vector<PortProbe>& probes, bool json, bool everyTried) {
    std::string lines;
    for (const PortProbe& probe : probes) {
        if (!everyTried && !probe.Answered()) continue;
        if (json) {
            const std::wstring reason = probe.Answered() ? L"" : FormatProbeReason(probe);
            lines += JsonLine({{"port", Utf8FromWide(probe.port)},
                               {"found", probe.Answered()},
                               {"reason", Utf8FromWide(reason)}});
        } else {
            lines += Shown(probe.port);
        }
        lines += '\n';
    }
    return lines;
}
