#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>
#include <utility>

#include "meter_frames.h"
#include "meter_port.h"
#include "port_discovery.h"

namespace {

// The meter has its whole answer queued within this time of a probe.
constexpr std::uint32_t kProbeAnswerWaitMs = 500;
// Gives the meter a moment after the probe port is closed, before the caller opens it again.
constexpr std::uint32_t kFoundPauseMs = 200;
// A search of every port probes this many side by side; the rest wait their turn.
constexpr std::size_t kProbesAtOnce = 8;
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
        layer.Stop().Pause(kProbeAnswerWaitMs);
        return port.Read(kFrameSize, answer.data());
    }
    std::uint32_t count = 0;
    for (std::uint32_t waited = 0; waited < kProbeAnswerWaitMs && layer.Stop().Requested() == 0 &&
                                   !IsProbeReply(answer.data(), count);
         waited += kProbeStepMs) {
        layer.Stop().Pause(kProbeStepMs);
        count += port.Read(kFrameSize - count, answer.data() + count);
    }
    return count;
}

// What becomes of a probed port that answered as the meter.
enum class AfterAnswer { Close, KeepOpen };

// One probe of one port, closed again afterwards (unless it answered and is to be kept open).
PortProbe Probe(CMeterPort& port, ISerialLayer& layer, const std::wstring& name,
                AnswerWait wait = AnswerWait::Whole, AfterAnswer then = AfterAnswer::Close) {
    PortProbe probe{name, PortOutcome::NoAnswer, {}};
    std::array<std::uint8_t, kFrameSize> answer{};
    const Frame frame = BuildProbeFrame();
    // Whether the open worked is judged by the handle, not by Open's result.
    port.Open(name);
    const PortHandle handle = port.m_hComm.load();
    // The probe's write takes no more than the probe's own time: the meter's time-outs would
    // let a line held by flow control keep it for seconds, each port of a search in turn.
    // They are put back for a port kept open.
    CommTimeouts meterTimeouts;
    if (handle != kInvalidPort) {
        layer.PurgeComm(handle, kPurgeAll);
        layer.GetCommTimeouts(handle, meterTimeouts);
        CommTimeouts probeTimeouts = meterTimeouts;
        probeTimeouts.writeTotalTimeoutMultiplier = 0;
        probeTimeouts.writeTotalTimeoutConstant = kProbeAnswerWaitMs;
        layer.SetCommTimeouts(handle, probeTimeouts);
    }
    // In a search a port that did not open still costs its pause: Write and Read do nothing on
    // it. A named port that did not open, or a probe that did not go out, has nothing to wait
    // for (the write has taken its time already).
    const bool sent = port.Write(frame.data(), kFrameSize) == kFrameSize;
    if (handle != kInvalidPort) layer.SetCommTimeouts(handle, meterTimeouts);
    const bool awaited = handle != kInvalidPort ? sent : wait == AnswerWait::Whole;
    const std::uint32_t count = awaited ? AwaitAnswer(port, layer, wait, answer) : 0;
    if (handle == kInvalidPort) {
        probe.outcome = RefusedBecause(port.LastOpenStatus().reason);
        probe.holder = port.LastOpenStatus().holder;
        probe.access = port.LastOpenStatus().access;
    } else if (!sent && port.IsDevicePresent()) {
        probe.outcome = PortOutcome::NotSent;
    } else if (IsProbeReply(answer.data(), count)) {
        probe.outcome = PortOutcome::Answered;
    } else if (count > 0) {
        probe.outcome = PortOutcome::WrongAnswer;
    } else if (!port.IsDevicePresent()) {
        probe.outcome = PortOutcome::Gone;
    }
    if (!probe.Answered() || then == AfterAnswer::Close) port.Close();
    return probe;
}

// What one listed port comes to: a port `holders` names is not even opened, but costs its pause
// as a port that would not open does.
PortProbe ProbeUnlessHeld(CMeterPort& port, ISerialLayer& layer, const std::wstring& name,
                          const HolderScan& holders) {
    PortProbe probe;
    const auto held = holders.held.find(name);
    if (held != holders.held.end()) {
        layer.Stop().Pause(kProbeAnswerWaitMs);
        probe = {name, PortOutcome::Busy, held->second};
    } else {
        probe = Probe(port, layer, name);
    }
    probe.holderUnchecked = holders.unchecked.contains(name);
    return probe;
}

// Each name once, the first time it is listed: two probes of one port side by side would
// refuse each other.
std::vector<std::wstring> Distinct(const std::vector<std::wstring>& names) {
    std::vector<std::wstring> distinct;
    for (const std::wstring& name : names) {
        if (std::find(distinct.begin(), distinct.end(), name) == distinct.end()) {
            distinct.push_back(name);
        }
    }
    return distinct;
}

// Every port of `names`, up to kProbesAtOnce side by side, each on its own CMeterPort and taken
// exactly as a search one port at a time takes it. The probes share nothing but `next`, the
// queue's head, and the read-only `names` and `holders`: a worker writes only the slot of the
// index it took from the queue, and the slots are read after every worker is joined. Ports are
// taken from the queue in list order, and only while no stop is requested, so the ports tried
// are always the first ones of the list, each probed to its end.
std::vector<PortProbe> ProbeSideBySide(const std::vector<std::wstring>& names, ISerialLayer& layer,
                                       const HolderScan& holders) {
    std::vector<PortProbe> slots(names.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        CMeterPort port(layer);
        while (layer.Stop().Requested() == 0) {
            const std::size_t index = next.fetch_add(1);
            if (index >= names.size()) break;
            slots[index] = ProbeUnlessHeld(port, layer, names[index], holders);
        }
    };
    {
        // Threads of the search's own: the layer's StartThread is for reply watchers, and a
        // test's layer counts what it starts as such.
        std::vector<std::jthread> helpers;
        try {
            while (helpers.size() + 1 < std::min(kProbesAtOnce, names.size()))
                helpers.emplace_back(work);
        } catch (const std::exception&) {
            // No more threads to be had: the ones there are (this one at least) take them all.
        }
        work();
    }  // joined: every slot written is seen from here on
    slots.resize(std::min(next.load(), names.size()));
    return slots;
}

// The listed ports' names. An empty entry names no port: it is not probed, nor asked about.
std::vector<std::wstring> Names(const std::vector<PortInfo>& ports) {
    std::vector<std::wstring> names;
    for (const PortInfo& info : ports) {
        if (!info.name.empty()) names.push_back(info.name);
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

std::vector<PeekedPort> PeekPorts(const std::vector<PortInfo>& ports, const PortPeek& peek,
                                  const HolderCheck& holders, const StopToken& stop) {
    const HolderScan scan = holders ? holders(Names(ports), stop) : HolderScan{};
    std::vector<PeekedPort> states;
    for (const PortInfo& info : ports) {
        PeekedPort state{peek ? peek(info.name) : OpenStatus{}, scan.unchecked.contains(info.name)};
        const auto held = scan.held.find(info.name);
        if (state.seen.reason == OpenReason::Opened && held != scan.held.end()) {
            state.seen = {OpenReason::Busy, held->second};
        }
        states.push_back(std::move(state));
    }
    return states;
}

std::vector<PortProbe> ProbePorts(ISerialLayer& layer, const PortLister& listPorts,
                                  ProbeScope scope, const HolderCheck& holderOf) {
    std::vector<PortInfo> ports;
    listPorts(ports);
    const std::vector<std::wstring> names =
        scope == ProbeScope::EveryPort ? Distinct(Names(ports)) : Names(ports);
    const HolderScan holders = holderOf ? holderOf(names, layer.Stop()) : HolderScan{};

    std::vector<PortProbe> probes;
    if (scope == ProbeScope::EveryPort) {
        probes = ProbeSideBySide(names, layer, holders);
    } else {
        CMeterPort port(layer);
        for (const std::wstring& name : names) {
            // An interrupted run searches no further; what it has opened is closed already.
            if (layer.Stop().Requested() != 0) break;
            probes.push_back(ProbeUnlessHeld(port, layer, name, holders));
            if (probes.back().Answered()) break;
        }
    }
    // Once for the whole search: the caller opens no port before it returns, and every meter
    // that answered was closed before this.
    if (std::any_of(probes.begin(), probes.end(),
                    [](const PortProbe& p) { return p.Answered(); })) {
        layer.Stop().Pause(kFoundPauseMs);
    }
    return probes;
}

PortProbe ProbeNamedPort(CMeterPort& meter, const std::wstring& port, const HolderCheck& holderOf) {
    const HolderScan holders = holderOf ? holderOf({port}, meter.Layer().Stop()) : HolderScan{};
    PortProbe probe;
    if (const auto held = holders.held.find(port); held != holders.held.end()) {
        probe = {port, PortOutcome::Busy, held->second};
    } else {
        probe = Probe(meter, meter.Layer(), port, AnswerWait::UntilValid, AfterAnswer::KeepOpen);
    }
    probe.holderUnchecked = holders.unchecked.contains(port);
    return probe;
}

std::wstring FoundPort(const std::vector<PortProbe>& probes) {
    if (probes.empty() || !probes.back().Answered()) return L"";
    return probes.back().port;
}
