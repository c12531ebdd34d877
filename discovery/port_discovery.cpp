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
// How often a probe of a named port looks whether the answer is whole.
constexpr std::uint32_t kProbeStepMs = 5;

// How long a probe waits for its answer.
enum class AnswerWait {
    Whole,       // the search's full pause, whatever comes: every port costs the same
    UntilValid,  // until the meter's answer has come whole, and no longer than the search's
};

// Reads the probe's answer into `answer`; how many bytes came.
std::uint32_t AwaitAnswer(CMeterPort& port, ISerialLayer& layer, AnswerWait wait,
                          std::array<std::uint8_t, kFrameSize>& answer) {
    if (wait == AnswerWait::Whole) {
        layer.Pause(kProbeAnswerWaitMs);
        return port.Read(kFrameSize, answer.data());
    }
    std::uint32_t count = 0;
    for (std::uint32_t waited = 0; waited < kProbeAnswerWaitMs && layer.StopRequested() == 0 &&
                                   !IsProbeReply(answer.data(), count);
         waited += kProbeStepMs) {
        layer.Pause(kProbeStepMs);
        count += port.Read(kFrameSize - count, answer.data() + count);
    }
    return count;
}

// One probe of one port, closed again afterwards.
PortProbe Probe(CMeterPort& port, ISerialLayer& layer, const std::wstring& name,
                AnswerWait wait = AnswerWait::Whole) {
    PortProbe probe{name, PortOutcome::NoAnswer, {}};
    std::array<std::uint8_t, kFrameSize> answer{};
    const Frame frame = BuildProbeFrame();
    // Whether the open worked is judged by the handle, not by Open's result.
    port.Open(name);
    const PortHandle handle = port.m_hComm.load();
    if (handle != kInvalidPort) layer.PurgeComm(handle, kPurgeAll);
    // A port that did not open still costs its pause: Write and Read do nothing on it.
    port.Write(frame.data(), kFrameSize);
    const std::uint32_t count = AwaitAnswer(port, layer, wait, answer);
    if (handle == kInvalidPort) {
        probe.outcome = RefusedBecause(port.LastOpenStatus().reason);
        probe.holder = port.LastOpenStatus().holder;
        probe.access = port.LastOpenStatus().access;
    } else if (IsProbeReply(answer.data(), count)) {
        probe.outcome = PortOutcome::Answered;
    } else if (count > 0) {
        probe.outcome = PortOutcome::WrongAnswer;
    } else if (!port.IsDevicePresent()) {
        probe.outcome = PortOutcome::Gone;
    }
    port.Close();
    if (probe.Answered()) layer.Pause(kFoundPauseMs);
    return probe;
}

// The listed ports' names, but `excluded`.
std::vector<std::wstring> Names(const std::vector<PortInfo>& ports, const std::wstring& excluded) {
    std::vector<std::wstring> names;
    for (const PortInfo& info : ports) {
        if (info.name != excluded) names.push_back(info.name);
    }
    return names;
}

}  // namespace

PortOutcome RefusedBecause(OpenReason reason) {
    switch (reason) {
        case OpenReason::Busy:
            return PortOutcome::Busy;
        case OpenReason::PermissionDenied:
            return PortOutcome::PermissionDenied;
        case OpenReason::LineDiscipline:
            return PortOutcome::LineDiscipline;
        case OpenReason::Gone:
            return PortOutcome::Gone;
        case OpenReason::Console:
            return PortOutcome::Console;
        case OpenReason::Opened:
        case OpenReason::Other:
            break;
    }
    return PortOutcome::OpenFailed;
}

std::vector<PortState> PeekPorts(const std::vector<PortInfo>& ports, const PortPeek& peek,
                                 const HolderCheck& holders) {
    const HolderScan scan = holders ? holders(Names(ports, L"")) : HolderScan{};
    std::vector<PortState> states;
    for (const PortInfo& info : ports) {
        PortState state{peek ? peek(info.name) : OpenStatus{}, scan.unchecked.contains(info.name)};
        const auto held = scan.held.find(info.name);
        if (state.seen.reason == OpenReason::Opened && held != scan.held.end()) {
            state.seen = {OpenReason::Busy, held->second};
        }
        states.push_back(std::move(state));
    }
    return states;
}

std::vector<PortProbe> ProbePorts(const std::wstring& excludedPort, ISerialLayer& layer,
                                  const PortLister& listPorts, ProbeScope scope,
                                  const HolderCheck& holderOf) {
    std::vector<PortInfo> ports;
    listPorts(ports);
    const std::vector<std::wstring> names = Names(ports, excludedPort);
    const HolderScan holders = holderOf ? holderOf(names) : HolderScan{};

    std::vector<PortProbe> probes;
    CMeterPort port(layer);
    for (const std::wstring& name : names) {
        // An interrupted run searches no further; what it has opened is closed already.
        if (layer.StopRequested() != 0) break;
        const auto held = holders.held.find(name);
        if (held != holders.held.end()) {
            // Held by another program: not even opened, but it costs its pause as a port
            // that would not open does.
            layer.Pause(kProbeAnswerWaitMs);
            probes.push_back({name, PortOutcome::Busy, held->second});
        } else {
            probes.push_back(Probe(port, layer, name));
        }
        probes.back().holderUnchecked = holders.unchecked.contains(name);
        if (probes.back().Answered() && scope == ProbeScope::UpToFirstAnswer) break;
    }
    return probes;
}

PortProbe ProbeNamedPort(const std::wstring& port, ISerialLayer& layer,
                         const HolderCheck& holderOf) {
    const HolderScan holders = holderOf ? holderOf({port}) : HolderScan{};
    if (const auto held = holders.held.find(port); held != holders.held.end()) {
        return {port, PortOutcome::Busy, held->second};
    }
    CMeterPort meter(layer);
    PortProbe probe = Probe(meter, layer, port, AnswerWait::UntilValid);
    probe.holderUnchecked = holders.unchecked.contains(port);
    return probe;
}

std::wstring FoundPort(const std::vector<PortProbe>& probes) {
    if (probes.empty() || !probes.back().Answered()) return L"";
    return probes.back().port;
}
