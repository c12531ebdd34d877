#include <array>
#include <cstdint>

#include "meter_frames.h"
#include "meter_port.h"
#include "port_discovery.h"

namespace {

// The meter has its whole answer queued within this time of a probe.
constexpr std::uint32_t kProbeAnswerWaitMs = 500;
// Gives the meter a moment after the probe port is closed, before the caller opens it again.
constexpr std::uint32_t kFoundPauseMs = 200;

}  // namespace

std::wstring FindMeterPort(const std::wstring& excludedPort) {
    return FindMeterPort(excludedPort, PlatformSerialLayer(), EnumSerialPorts);
}

std::wstring FindMeterPort(const std::wstring& excludedPort, ISerialLayer& layer,
                           const PortLister& enumerate) {
    std::wstring result;
    const Frame probe = BuildProbeFrame();
    std::array<std::uint8_t, kFrameSize> answer{};

    std::vector<std::wstring> ports;
    enumerate(ports);

    CMeterPort port(layer);
    for (const std::wstring& name : ports) {
        if (name == excludedPort) continue;
        // Whether the open worked is judged by the handle, not by Open's result.
        port.Open(name);
        const PortHandle handle = port.m_hComm.load();
        if (handle != kInvalidPort) layer.PurgeComm(handle, kPurgeAll);
        // A port that did not open still costs its pause: Write and Read do nothing on it.
        port.Write(probe.data(), kFrameSize);
        layer.Pause(kProbeAnswerWaitMs);
        const std::uint32_t count = port.Read(kFrameSize, answer.data());
        if (IsProbeReply(answer.data(), count)) {
            result = name;
            port.Close();
            layer.Pause(kFoundPauseMs);
            break;
        }
        port.Close();
    }
    return result;
}
