#include <array>
#include <cstdint>
#include <utility>

#include "meter_frames.h"
#include "meter_port.h"
#include "port_discovery.h"

namespace {

// The meter has its whole answer queued within this time of a probe.
constexpr std::uint32_t kProbeAnswerWaitMs = 500;
// Gives the meter a moment after the probe port is closed, before the caller opens it again.
constexpr std::uint32_t kFoundPauseMs = 200;

// One probe of one port, closed again afterwards.
PortProbe Probe(CMeterPort& port, ISerialLayer& layer, const std::wstring& name) {
    PortProbe probe{name, false};
    std::array<std::uint8_t, kFrameSize> answer{};
    const Frame frame = BuildProbeFrame();
    // Whether the open worked is judged by the handle, not by Open's result.
    port.Open(name);
    const PortHandle handle = port.m_hComm.load();
    if (handle != kInvalidPort) layer.PurgeComm(handle, kPurgeAll);
    // A port that did not open still costs its pause: Write and Read do nothing on it.
    port.Write(frame.data(), kFrameSize);
    layer.Pause(kProbeAnswerWaitMs);
    const std::uint32_t count = port.Read(kFrameSize, answer.data());
    probe.answered = IsProbeReply(answer.data(), count);
    port.Close();
    if (probe.answered) layer.Pause(kFoundPauseMs);
    return probe;
}

}  // namespace

void EnumSerialPorts(std::vector<std::wstring>& list) {
    PortNames(ListSerialPorts)(list);
}

PortLister PortNames(PortInfoLister listPorts) {
    return [listPorts = std::move(listPorts)](std::vector<std::wstring>& list) {
        std::vector<PortInfo> ports;
        listPorts(ports);
        for (PortInfo& port : ports)
            list.push_back(std::move(port.name));
    };
}

std::vector<PortProbe> ProbePorts(const std::wstring& excludedPort, ISerialLayer& layer,
                                  const PortLister& enumerate, ProbeScope scope) {
    std::vector<std::wstring> ports;
    enumerate(ports);

    std::vector<PortProbe> probes;
    CMeterPort port(layer);
    for (const std::wstring& name : ports) {
        if (name == excludedPort) continue;
        probes.push_back(Probe(port, layer, name));
        if (probes.back().answered && scope == ProbeScope::UpToFirstAnswer) break;
    }
    return probes;
}

std::wstring FindMeterPort(const std::wstring& excludedPort) {
    return FindMeterPort(excludedPort, PlatformSerialLayer(), EnumSerialPorts);
}

std::wstring FindMeterPort(const std::wstring& excludedPort, ISerialLayer& layer,
                           const PortLister& enumerate) {
    const std::vector<PortProbe> probes =
        ProbePorts(excludedPort, layer, enumerate, ProbeScope::UpToFirstAnswer);
    if (probes.empty() || !probes.back().answered) return L"";
    return probes.back().port;
}
