// The command exchange and the reply watcher in real time, on the Linux layer, against the
// simulated meter: answered and unanswered sends, the watcher's CPU use while it waits, and
// its end when the port is destroyed or the meter is unplugged.

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "meter_port.h"
#include "sim_process.h"
#include "test_support.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Far more than an idle watcher may use in a second, far less than a spinning one.
constexpr milliseconds kIdleCpuLimit{50};

// Counts watcher threads, tells when the latest one has ended, and reads its CPU time.
class WatcherObservingLayer : public PassThroughLayer {
  public:
    WatcherObservingLayer() : PassThroughLayer(PlatformSerialLayer()) {}

    bool StartThread(std::thread& thread, std::function<void()> body) override {
        ended = false;
        const bool started = PassThroughLayer::StartThread(thread, [this, body = std::move(body)] {
            body();
            ended = true;
        });
        if (started) {
            ++starts;
            pthread_getcpuclockid(thread.native_handle(), &cpuClock);
        }
        return started;
    }

    // CPU time the running watcher has used so far.
    std::chrono::nanoseconds WatcherCpu() const {
        timespec used{};
        if (clock_gettime(cpuClock, &used) != 0) {
            ADD_FAILURE() << "no watcher to measure";
            return {};
        }
        return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
    }

    std::atomic<int> starts{0};
    std::atomic<bool> ended{false};
    clockid_t cpuClock{};
};

std::string LinkPath(const char* name) {
    return ::testing::TempDir() + "dravik-" + std::to_string(getpid()) + "-" + name;
}

class LinuxExchange : public ::testing::Test {
  protected:
    // Starts the simulated meter with `options` and opens a port on it. The meter answers
    // 300 ms after a frame, so that a watcher started by the send is surely waiting by then even
    // on a loaded machine: an answer queued before the watcher's first look ends that watcher at
    // once, by design, which is not what these tests are about.
    void Connect(std::vector<std::string> options = {}) {
        options.insert(options.begin(), {"--reply-delay", "300"});
        sim = std::make_unique<MeterSimProcess>(std::move(options));
        ASSERT_TRUE(sim->Started());
        port = std::make_unique<CMeterPort>(layer);
        ASSERT_NE(port->Open(sim->PortName()), kInvalidPort);
    }

    WatcherObservingLayer layer;
    std::unique_ptr<MeterSimProcess> sim;
    std::unique_ptr<CMeterPort> port;
    const Frame frame = BuildSetCorrectionFrame(L"3", 1);
};

TEST_F(LinuxExchange, AnAnsweringMeterIsSeenByOneWatcherForEverySend) {
    Connect();
    EXPECT_EQ(port->SetCorrection(L"0.5", 2), 1);
    ASSERT_TRUE(sim->WaitForFrames(1));
    EXPECT_THAT(sim->Frames(),
                ElementsAre(HasSubstr("set channel=2 label=1490CW factor=1.1220185 dB=0.5000")));
    EXPECT_EQ(port->m_nReplyStatus, REPLY_RECEIVED);
    EXPECT_TRUE(port->m_bWatcherRunning);

    for (int send = 2; send <= 4; ++send)
        EXPECT_EQ(port->SendFrame(frame), 1) << send;
    EXPECT_EQ(sim->Frames().size(), 4u);
    EXPECT_EQ(layer.starts, 1) << "the first watcher stays and catches every later answer";
}

TEST_F(LinuxExchange, ASilentMeterTimesOutWhileTheWatcherStaysAndSleeps) {
    Connect({"--silent"});
    const Clock::time_point started = Clock::now();
    EXPECT_EQ(port->SendFrame(frame), 0);
    const auto took = Clock::now() - started;
    EXPECT_GE(took, milliseconds(5000));
    EXPECT_LT(took, milliseconds(15000));
    EXPECT_TRUE(port->m_bWatcherRunning);
    EXPECT_FALSE(layer.ended);

    const auto cpuBefore = layer.WatcherCpu();
    EXPECT_EQ(port->SendFrame(frame), 0);
    EXPECT_LT(layer.WatcherCpu() - cpuBefore, kIdleCpuLimit) << "over a whole 5 s wait";
    EXPECT_EQ(layer.starts, 1) << "a second send starts no second watcher";
    EXPECT_TRUE(port->m_bWatcherRunning);
    EXPECT_EQ(sim->Frames().size(), 2u);
}

TEST_F(LinuxExchange, TheWatcherUsesNoCpuWhileTheAnswerSitsUnread) {
    Connect();
    ASSERT_EQ(port->SendFrame(frame), 1);
    const auto cpuBefore = layer.WatcherCpu();
    // An observation window: the answer stays queued until the next send, and a watcher that
    // keeps seeing it would burn a core meanwhile.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(layer.WatcherCpu() - cpuBefore, kIdleCpuLimit);
    EXPECT_TRUE(port->m_bWatcherRunning);
    EXPECT_EQ(port->m_nReplyStatus, REPLY_RECEIVED);
}

TEST_F(LinuxExchange, ClosingOrDestroyingThePortEndsAWaitingWatcherAtOnce) {
    for (const bool destroy : {false, true}) {
        Connect();
        ASSERT_EQ(port->SendFrame(frame), 1);
        ASSERT_FALSE(layer.ended);
        const Clock::time_point started = Clock::now();
        if (destroy) {
            port.reset();
        } else {
            port->Close();
            EXPECT_FALSE(port->m_bWatcherRunning);
            EXPECT_EQ(port->m_hComm, kInvalidPort);
        }
        EXPECT_TRUE(layer.ended) << (destroy ? "destroy" : "close") << " joins the watcher";
        EXPECT_LT(Clock::now() - started, milliseconds(2000)) << (destroy ? "destroy" : "close");
    }
}

TEST_F(LinuxExchange, AnUnpluggedMeterEndsTheWaitingWatcherWithALineError) {
    // Killed while the watcher waits after an answer, or gone mid-exchange: the sim closes its
    // pty master on receiving the second frame, without answering it.
    for (const bool midExchange : {false, true}) {
        const char* how = midExchange ? "mid-exchange" : "killed";
        Connect(midExchange ? std::vector<std::string>{"--unplug-after", "2"}
                            : std::vector<std::string>{});
        ASSERT_EQ(port->SendFrame(frame), 1) << how;
        if (midExchange) {
            EXPECT_EQ(port->SendFrame(frame), 0) << how;
            EXPECT_TRUE(sim->WaitForExit()) << how;
        } else {
            sim->Unplug();
        }
        EXPECT_TRUE(PollUntil([&] { return layer.ended.load(); }, kPtyWaitLimit)) << how;
        EXPECT_FALSE(port->m_bWatcherRunning) << how;
        EXPECT_EQ(port->m_nReplyStatus, REPLY_LINE_ERROR) << how;

        // The dead device takes no frame: no answer and no new watcher, and no crash.
        EXPECT_EQ(port->SendFrame(frame), 0) << how;
        EXPECT_EQ(layer.starts, 1) << how;
        layer.starts = 0;
    }
}

TEST_F(LinuxExchange, AMeterRestartedBehindItsLinkIsReachedAgain) {
    const std::string link = LinkPath("restart");
    sim = std::make_unique<MeterSimProcess>(std::vector<std::string>{}, link);
    ASSERT_TRUE(sim->Started());
    port = std::make_unique<CMeterPort>(layer);
    ASSERT_NE(port->Open(WidePath(link)), kInvalidPort);
    EXPECT_EQ(port->SendFrame(frame), 1);

    const std::string before = sim->DevicePath();
    ASSERT_TRUE(sim->Restart());
    EXPECT_NE(sim->DevicePath(), before);
    EXPECT_TRUE(PollUntil([&] { return layer.ended.load(); }, kPtyWaitLimit));
    port->Close();
    ASSERT_NE(port->Open(WidePath(link)), kInvalidPort);
    EXPECT_EQ(port->SendFrame(frame), 1);
    EXPECT_EQ(layer.starts, 2);

    sim.reset();
    EXPECT_NE(access(link.c_str(), F_OK), 0) << "the sim removes its link when it ends";
}

}  // namespace
