// The set session on the in-memory serial layer: what its record says when the line
// misbehaves, and what stops a run.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_meter.h"
#include "meter_frames.h"
#include "set_session.h"

namespace {

using ::testing::HasSubstr;
using Bytes = FakeSerialLayer::Bytes;

Correction Level(const char* text, std::uint8_t channel) {
    std::string problem;
    return *CheckCorrection(std::to_string(channel), text, text, {}, problem);
}

// Channel by channel, and the status: a lost port stops the run (the channels after it are not
// sent, 4), a frame the driver would not take is not sent but the next one is. (What counts as
// an answer is the exchange's record, tested with it.)
TEST(SetSession, TheRecordSaysWhatReachedTheMeter) {
    struct Case {
        const char* what;
        std::function<void(FakeSerialLayer::PortScript&)> line;
        int status;
        std::vector<std::pair<bool, bool>> sentAnswered;  // per channel
        std::string halt;
        std::uint32_t burstEveryMs = 0;  // the line sends 40 bytes of its own this often
    };
    const auto vanishing = [](FakeSerialLayer::PortScript& script) {
        script = FakeMeter();
        script.onWrite = [probe = script.onWrite](FakeSerialLayer& fake, const std::wstring& port,
                                                  const Bytes& written) {
            if (written[1] != kSetCorrectionCommand) return probe(fake, port, written);
            fake.WithPort(port, [](auto& state) { state.script.failClearCommError = true; });
            fake.PushEvent(port, {kEvErr});
        };
    };
    const auto refusingTheFirst = [](FakeSerialLayer::PortScript& script) {
        script = FakeMeter();
        script.writeAccepts = {kFrameSize, 0, 0, 0, 0, 0, 0, 0};  // the probe goes out whole
    };
    const std::vector<Case> cases = {
        {"unplugged",
         vanishing,
         kStatusPortUnavailable,
         {{true, false}, {false, false}},
         "“COM10”：串口已断开"},
        // A line that takes no frame would keep every later channel waiting as long.
        {"write refused",
         refusingTheFirst,
         kStatusNotConfirmed,
         {{false, false}, {false, false}},
         "“1310CW”的帧未能完整发出"},
        // A meter left in a continuous-reading mode: its bursts would pass for every answer.
        {"bursting peer",
         [](FakeSerialLayer::PortScript& script) { script = SilentOnSetMeter(); },
         kStatusNotConfirmed,
         {{true, false}, {false, false}},
         "线路在无人询问时发来数据",
         100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSerialLayer layer;
        const std::wstring port = L"COM1" + std::to_wstring(&c - cases.data());
        FakeSerialLayer::PortScript script;
        c.line(script);
        layer.AddPort(port, script);
        layer.onPause = [&, since = 0u](std::uint32_t ms) mutable {
            if (c.burstEveryMs == 0 || (since += ms) % c.burstEveryMs >= ms) return;
            layer.QueueInput(port, Bytes(40, '$'));
            layer.PushEvent(port, {kEvRxChar});
        };
        SessionOpening opening;
        const auto session =
            SetSession::Open({layer, [](std::vector<PortInfo>&) {}}, port, opening);
        ASSERT_NE(session, nullptr);
        session->SetTags({{"sn", "A7"}});
        const std::vector<Correction> levels = {Level("1", 0), Level("2", 3)};
        for (std::size_t i = 0; i < levels.size(); ++i) {
            const ChannelRecord record = session->Set(levels[i]);
            EXPECT_EQ(record.exchange.sent, c.sentAnswered[i].first) << i;
            EXPECT_EQ(record.exchange.answered, c.sentAnswered[i].second) << i;
            EXPECT_EQ(record.tags, Tags({{"sn", "A7"}}));
        }
        EXPECT_EQ(session->Status(), c.status);
        EXPECT_THAT(session->HaltMessage(), HasSubstr(c.halt));
        const auto sentCount = std::count_if(c.sentAnswered.begin(), c.sentAnswered.end(),
                                             [](const auto& channel) { return channel.first; });
        EXPECT_EQ(SetFrames(layer, port).size(), static_cast<std::size_t>(sentCount));
    }
}

// A port the station names is probed before anything else goes to it. Whatever does not answer
// as the meter gets nothing more: an instrument that streams in bursts (a gap between bursts
// would end any answer), one that echoes every frame twice, a dead line.
TEST(SetSession, APortThatDoesNotAnswerAsTheMeterGetsNothingElse) {
    struct Case {
        const char* what;
        std::function<void(FakeSerialLayer&, const std::wstring&, const Bytes&)> device;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"bursting line",
         [](FakeSerialLayer& fake, const std::wstring& port, const Bytes&) {
             fake.QueueInput(port, Bytes(12, '7'));
         },
         "有应答，但不是待测表的应答"},
        {"double echo",
         [](FakeSerialLayer& fake, const std::wstring& port, const Bytes& written) {
             fake.QueueInput(port, written);
             fake.QueueInput(port, written);
         },
         "有应答，但不是待测表的应答"},
        {"dead line", nullptr, "对探测无应答"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSerialLayer layer;
        FakeSerialLayer::PortScript script;
        script.onWrite = c.device;
        layer.AddPort(L"COM3", script);
        SessionOpening opening;
        EXPECT_EQ(SetSession::Open({layer, [](std::vector<PortInfo>&) {}}, L"COM3", opening),
                  nullptr);
        EXPECT_EQ(opening.status, kStatusNoMeter);
        EXPECT_THAT(opening.Message(), HasSubstr(c.says));
        EXPECT_EQ(layer.Snapshot(L"COM3").writes.size(), 1u) << "the probe alone";
    }

    // One another program holds, without a lock that an open would meet: not even opened.
    FakeSerialLayer layer;
    layer.AddPort(L"COM5", FakeMeter());
    const HolderCheck minicom = [](const std::vector<std::wstring>& ports, const StopToken&) {
        return HolderScan{{{ports.front(), {L"minicom", 42}}}, {}};
    };
    SessionOpening opening;
    EXPECT_EQ(SetSession::Open({layer, [](std::vector<PortInfo>&) {}, minicom}, L"COM5", opening),
              nullptr);
    EXPECT_EQ(opening.status, kStatusPortUnavailable);
    EXPECT_EQ(opening.Message(), "“COM5”：被 minicom (42) 占用");
    EXPECT_EQ(layer.Snapshot(L"COM5").opens, 0);
}

// An answer that comes after the channel's 5 s is recorded on that channel as late, and no
// further frame goes out: nothing in the protocol would tell it from the next channel's answer.
TEST(SetSession, NothingIsSentAfterAChannelWithoutAnAnswer) {
    FakeSerialLayer layer;
    int pausesSinceFrame = -1;
    FakeSerialLayer::PortScript script = FakeMeter();
    script.onWrite = [probe = script.onWrite, &pausesSinceFrame](
                         FakeSerialLayer& fake, const std::wstring& port, const Bytes& written) {
        if (written[1] != kSetCorrectionCommand) return probe(fake, port, written);
        pausesSinceFrame = 0;
    };
    layer.onPause = [&](std::uint32_t ms) {
        // The answer arrives 6 s after the frame, in the quiet wait that follows the exchange.
        if (pausesSinceFrame < 0 || (pausesSinceFrame += static_cast<int>(ms)) < 6000) return;
        pausesSinceFrame = -1;
        layer.QueueInput(L"COM4", {0x06});
        layer.PushEvent(L"COM4", {kEvRxChar});
    };
    layer.AddPort(L"COM4", script);
    SessionOpening opening;
    const auto session = SetSession::Open({layer, [](std::vector<PortInfo>&) {}}, L"COM4", opening);
    ASSERT_NE(session, nullptr);
    const ChannelRecord slow = session->Set(Level("1", 0));
    const ChannelRecord next = session->Set(Level("2", 1));
    EXPECT_TRUE(slow.exchange.sent);
    EXPECT_FALSE(slow.exchange.answered);
    EXPECT_TRUE(slow.exchange.late);
    EXPECT_FALSE(next.exchange.sent);
    EXPECT_EQ(session->Halted(), Halt::OutOfStep);
    EXPECT_EQ(session->Status(), kStatusNotConfirmed);
    EXPECT_THAT(session->HaltMessage(), HasSubstr("“1310CW”无应答"));
    EXPECT_EQ(SetFrames(layer, L"COM4").size(), 1u);
}

}  // namespace
