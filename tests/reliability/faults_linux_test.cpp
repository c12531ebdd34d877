// The whole path (dialog logic, discovery, exchange, Linux layer) against the simulated meter on
// real pseudo-terminals, with the meter misbehaving the ways real meters and cables do: pulled
// out, babbling, answering wrongly or late, or held by another instance of the tool.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "scratch_dir.h"
#include "sim_process.h"
#include "station.h"
#include "test_support.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

// Process CPU time (user + system) spent over `span` of wall time.
std::chrono::milliseconds CpuOver(std::chrono::milliseconds span) {
    const auto cpu = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const auto ms = [](const timeval& t) { return t.tv_sec * 1000LL + t.tv_usec / 1000; };
        return ms(usage.ru_utime) + ms(usage.ru_stime);
    };
    const auto before = cpu();
    std::this_thread::sleep_for(span);
    return std::chrono::milliseconds(cpu() - before);
}

class Faults : public ::testing::Test {
  protected:
    std::string LinkPath() const { return m_dir.Path() + "/meter"; }

    const ScratchDir m_dir;
};

TEST_F(Faults, UnpluggedWhileTheWatcherWaitsThenPluggedInAgain) {
    // An answer 300 ms after the frame finds the send's watcher waiting even on a loaded
    // machine; one already queued when the watcher starts would end it at once, by design.
    MeterSimProcess sim({"--reply-delay", "300"}, LinkPath());
    ASSERT_TRUE(sim.Started());
    Station station({WidePath(LinkPath())});
    station.Set(0, L"1");
    ASSERT_THAT(station.view.Status(), HasSubstr(L"设置成功"));
    ASSERT_TRUE(station.dlg.m_port.m_bWatcherRunning);

    sim.Unplug();
    // The watcher notices the hang-up and ends instead of spinning on it.
    EXPECT_TRUE(PollUntil([&] { return !station.dlg.m_port.m_bWatcherRunning; }, kPtyWaitLimit));
    EXPECT_EQ(station.dlg.m_port.m_nReplyStatus, REPLY_LINE_ERROR);
    EXPECT_LT(CpuOver(std::chrono::seconds(1)), std::chrono::milliseconds(200));

    ASSERT_TRUE(sim.Restart());
    station.Set(1, L"2");
    EXPECT_THAT(station.view.Status(), HasSubstr(L"1310Burst 设置成功"));
    EXPECT_TRUE(station.view.messages.empty());
    EXPECT_EQ(sim.Frames().size(), 2u) << "probe and frame, on the replugged meter";
}

TEST_F(Faults, UnpluggedDuringASendThenPluggedInAgain) {
    // The meter vanishes when the answer to its second frame (the first SET) would leave.
    auto sim = std::make_unique<MeterSimProcess>(std::vector<std::string>{"--unplug-after", "2"},
                                                 LinkPath());
    ASSERT_TRUE(sim->Started());
    Station station({WidePath(LinkPath())});
    const auto start = Clock::now();
    station.Set(2, L"0.5");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    EXPECT_THAT(station.view.Status(), HasSubstr(L"1490CW 待测表无应答"));
    EXPECT_EQ(station.dlg.m_port.m_hComm, kInvalidPort) << "a vanished device is let go";
    EXPECT_TRUE(station.dlg.m_strPortName.empty());
    ASSERT_TRUE(sim->WaitForExit());
    EXPECT_LT(CpuOver(std::chrono::seconds(1)), std::chrono::milliseconds(200));

    // Plugged in again under the same name: the next SET finds it.
    sim = std::make_unique<MeterSimProcess>(std::vector<std::string>{}, LinkPath());
    ASSERT_TRUE(sim->Started());
    station.Set(2, L"0.5");
    EXPECT_THAT(station.view.Status(), HasSubstr(L"1490CW 设置成功"));
    EXPECT_TRUE(station.view.messages.empty());
}

TEST_F(Faults, AMeterThatNeverStopsTalkingCannotFreezeTheDialog) {
    MeterSimProcess sim({"--stream"});
    ASSERT_TRUE(sim.Started());
    Station station({sim.PortName()});
    // Its probe answer drowns in the stream, so the port is named directly, as after a search.
    station.dlg.m_strPortName = sim.PortName();
    for (int k = 0; k < 2; ++k) {
        const auto start = Clock::now();
        station.Set(k, L"3");
        // Bounded drain (about 1 s) plus at most the 5 s wait; generous for a loaded machine.
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(20)) << "SET " << k;
        EXPECT_THAT(station.view.Status(), HasSubstr(kChannelLabels[static_cast<std::size_t>(k)]));
    }
    EXPECT_TRUE(station.view.messages.empty());
}

class WrongProbeAnswers : public Faults, public ::testing::WithParamInterface<const char*> {};

TEST_P(WrongProbeAnswers, AreNotTakenForTheMeter) {
    MeterSimProcess sim({GetParam()});
    ASSERT_TRUE(sim.Started());
    Station station({sim.PortName()});
    station.Set(0, L"1");
    EXPECT_THAT(station.view.messages, ElementsAre(kMsgNoMeterPort));
    EXPECT_TRUE(station.dlg.m_strPortName.empty());
    ASSERT_TRUE(sim.WaitForFrames(1));
    EXPECT_THAT(sim.Frames(), ElementsAre(HasSubstr("probe"))) << "nothing but the probe";
}

INSTANTIATE_TEST_SUITE_P(Meter, WrongProbeAnswers,
                         ::testing::Values("--garbage", "--short-answer", "--wrong-signature"));

struct LateAnswer {
    int delayMs;
    bool counts;
};

class LateAnswers : public Faults, public ::testing::WithParamInterface<LateAnswer> {};

// The wait is 1000 pauses of 5 ms, so a little over 5 s in real time: 4.5 s is in time, 6 s
// is not.
TEST_P(LateAnswers, CountOnlyWithinTheWait) {
    MeterSimProcess sim({"--reply-delay", std::to_string(GetParam().delayMs)});
    ASSERT_TRUE(sim.Started());
    Station station({sim.PortName()});
    station.dlg.m_strPortName = sim.PortName();  // the slow probe answer would miss discovery
    station.Set(3, L"-3");
    EXPECT_THAT(station.view.Status(),
                HasSubstr(GetParam().counts ? L"1550CW 设置成功" : L"1550CW 待测表无应答"));
}

INSTANTIATE_TEST_SUITE_P(Meter, LateAnswers,
                         ::testing::Values(LateAnswer{4500, true}, LateAnswer{6000, false}));

TEST_F(Faults, ASecondInstanceSkipsThePortTheFirstHolds) {
    MeterSimProcess sim;
    ASSERT_TRUE(sim.Started());
    Station first({sim.PortName()});
    Station second({sim.PortName()});
    first.Set(0, L"1");
    ASSERT_THAT(first.view.Status(), HasSubstr(L"设置成功"));

    second.Set(0, L"2");
    EXPECT_THAT(second.view.messages, ElementsAre(kMsgNoMeterPort));

    first.Set(1, L"3");
    EXPECT_THAT(first.view.Status(), HasSubstr(L"1310Burst 设置成功"));
    EXPECT_TRUE(first.view.messages.empty());
}

}  // namespace
