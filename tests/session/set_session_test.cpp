// The set session on the in-memory serial layer: what its record says when the line
// misbehaves, and what stops a run.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_meter.h"
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
    };
    const auto vanishing = [](FakeSerialLayer::PortScript& script) {
        script.onWrite = [](FakeSerialLayer& fake, const std::wstring& port, const Bytes&) {
            fake.WithPort(port, [](auto& state) { state.script.failClearCommError = true; });
            fake.PushEvent(port, {kEvErr});
        };
    };
    const auto refusingTheFirst = [](FakeSerialLayer::PortScript& script) {
        script = FakeMeter();
        script.writeAccepts = {0, 0, 0, 0, 0, 0, 0};
    };
    const std::vector<Case> cases = {
        {"unplugged",
         vanishing,
         kStatusPortUnavailable,
         {{true, false}, {false, false}},
         "“COM10”：串口已断开"},
        {"write refused",
         refusingTheFirst,
         kStatusNotConfirmed,
         {{false, false}, {true, true}},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSerialLayer layer;
        const std::wstring port = L"COM1" + std::to_wstring(&c - cases.data());
        FakeSerialLayer::PortScript script;
        c.line(script);
        layer.AddPort(port, script);
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

}  // namespace
