#include "fake_meter.h"

#include <algorithm>
#include <utility>

#include "meter_frames.h"

namespace {

using Bytes = FakeSerialLayer::Bytes;

bool IsCommand(const Bytes& written, std::uint8_t command) {
    return written.size() == kFrameSize && written[0] == kFrameStart && written[1] == command;
}

}  // namespace

Bytes MeterProbeReply() {
    Bytes reply(kFrameSize, 0);
    std::copy_n("BOOT", 4, reply.begin() + kSignatureOffset);
    return reply;
}

FakeSerialLayer::PortScript FakeMeter(Bytes probeReply, bool answersSet) {
    FakeSerialLayer::PortScript script;
    script.onWrite = [probeReply = std::move(probeReply), answersSet](
                         FakeSerialLayer& fake, const std::wstring& port, const Bytes& written) {
        if (IsCommand(written, kProbeCommand)) {
            fake.QueueInput(port, probeReply);
        } else if (answersSet && IsCommand(written, kSetCorrectionCommand)) {
            fake.QueueInput(port, {0x06});
            fake.PushEvent(port, {kEvRxChar});
        }
    };
    return script;
}

FakeSerialLayer::PortScript SilentOnSetMeter() {
    return FakeMeter(MeterProbeReply(), /*answersSet=*/false);
}

std::vector<Bytes> SetFrames(FakeSerialLayer& layer, const std::wstring& port) {
    std::vector<Bytes> frames;
    for (const Bytes& written : layer.Snapshot(port).writes) {
        if (IsCommand(written, kSetCorrectionCommand)) frames.push_back(written);
    }
    return frames;
}

std::size_t ProbeCount(FakeSerialLayer& layer, const std::wstring& port) {
    const std::vector<Bytes> writes = layer.Snapshot(port).writes;
    return static_cast<std::size_t>(std::count_if(
        writes.begin(), writes.end(), [](const Bytes& w) { return IsCommand(w, kProbeCommand); }));
}
