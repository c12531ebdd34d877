#include <array>
#include <cstdint>
#include <optional>

#include "meter_frames.h"
#include "meter_port.h"
#include "port_discovery.h"

namespace {

// The meter has its whole answer queued within this time of a probe.
constexpr std::uint32_t kProbeAnswerWaitMs = 500;
// Gives the meter a moment after the probe port is closed, before the caller opens it again.
constexpr std::uint32_t kFoundPauseMs = 200;

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
        case OpenReason::Opened:
        case OpenReason::Other:
            break;
    }
    return PortOutcome::OpenFailed;
}

}  // namespace

std::wstring FindMeterPort(const std::wstring& excludedPort) {
    return FindMeterPort(excludedPort, PlatformSerialLayer(), EnumSerialPorts,
                         PlatformHolderCheck());
}

std::wstring FindMeterPort(const std::wstring& excludedPort, ISerialLayer& layer,
                           const PortLister& enumerate, const HolderCheck& holderOf,
                           std::vector<PortAttempt>* tried) {
    std::wstring result;
    const Frame probe = BuildProbeFrame();
    std::array<std::uint8_t, kFrameSize> answer{};

    std::vector<std::wstring> ports;
    enumerate(ports);

    CMeterPort port(layer);
    for (const std::wstring& name : ports) {
        if (name == excludedPort) continue;
        PortAttempt attempt{name, PortOutcome::NoAnswer, {}};
        const std::optional<PortHolder> holder =
            holderOf ? holderOf(name) : std::optional<PortHolder>();
        if (holder) {
            // Held by another program: not even opened, but it costs its pause as a port
            // that would not open does.
            attempt = {name, PortOutcome::Busy, *holder};
            layer.Pause(kProbeAnswerWaitMs);
            if (tried != nullptr) tried->push_back(attempt);
            continue;
        }
        // Whether the open worked is judged by the handle, not by Open's result.
        port.Open(name);
        const PortHandle handle = port.m_hComm.load();
        if (handle != kInvalidPort) layer.PurgeComm(handle, kPurgeAll);
        // A port that did not open still costs its pause: Write and Read do nothing on it.
        port.Write(probe.data(), kFrameSize);
        layer.Pause(kProbeAnswerWaitMs);
        const std::uint32_t count = port.Read(kFrameSize, answer.data());
        if (handle == kInvalidPort) {
            attempt.outcome = RefusedBecause(port.LastOpenStatus().reason);
            attempt.holder = port.LastOpenStatus().holder;
        } else if (IsProbeReply(answer.data(), count)) {
            attempt.outcome = PortOutcome::Answered;
        } else if (count > 0) {
            attempt.outcome = PortOutcome::WrongAnswer;
        } else if (!port.IsDevicePresent()) {
            attempt.outcome = PortOutcome::Gone;
        }
        if (tried != nullptr) tried->push_back(attempt);
        port.Close();
        if (attempt.outcome == PortOutcome::Answered) {
            result = name;
            layer.Pause(kFoundPauseMs);
            break;
        }
    }
    return result;
}
