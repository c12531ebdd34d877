// The Win32 serial layer under CMeterPort, against the simulated meter on a COM port. Under Wine
// the port is a pty mapped as COM port; DRAVIK_TEST_COM names it (e.g. COM7). Without it the
// tests that need the meter are skipped.

#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "meter_frames.h"
#include "meter_port.h"
#include "serial_layer.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

// Generous: the simulated meter answers within milliseconds.
constexpr auto kLimit = 5s;

std::uint32_t Queued(PortHandle port) {
    CommStatus status;
    EXPECT_TRUE(PlatformSerialLayer().ClearCommError(port, status));
    return status.inQueue;
}

// Waits until at least `count` bytes are queued, or the limit has passed; returns the count then
// queued.
std::uint32_t WaitForQueued(PortHandle port, std::uint32_t count) {
    PollUntil(
        [&] {
            CommStatus status;
            return PlatformSerialLayer().ClearCommError(port, status) && status.inQueue >= count;
        },
        kLimit);
    return Queued(port);
}

TEST(Win32Port, MissingPortFailsToOpenAndStaysClosed) {
    for (const std::wstring name : {L"DravikNoSuchPort", L"\\\\.\\DravikNoSuchPort"}) {
        CMeterPort port;
        EXPECT_EQ(port.Open(name), kInvalidPort);
        EXPECT_EQ(port.m_hComm.load(), kInvalidPort);
    }
}

TEST(Win32Port, AMissingPortIsReportedGone) {
    CMeterPort port;
    EXPECT_EQ(port.Open(L"DravikNoSuchPort"), kInvalidPort);
    EXPECT_EQ(port.LastOpenStatus().reason, OpenReason::Gone);
}

class Win32PortOnMeter : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string skipReason;
        name = TestComPort(skipReason);
        if (name.empty()) GTEST_SKIP() << skipReason;
        ASSERT_NE(port.Open(name), kInvalidPort);
    }

    // Sends the probe and waits until the meter's 40-byte answer is queued.
    void QueueProbeAnswer() {
        const Frame probe = BuildProbeFrame();
        ASSERT_EQ(port.Write(probe.data(), 40), 40u);
        ASSERT_EQ(WaitForQueued(port.m_hComm, 40), 40u);
    }

    std::wstring name;
    CMeterPort port;
};

TEST_F(Win32PortOnMeter, OpenAppliesTheLineSettings) {
    ISerialLayer& layer = PlatformSerialLayer();
    LineState line;
    ASSERT_TRUE(layer.GetCommState(port.m_hComm, line));
    EXPECT_EQ(line.baudRate, 19200u);
    EXPECT_EQ(line.byteSize, 8);
    EXPECT_EQ(line.eofChar, 0xA4);
    CommTimeouts timeouts;
    ASSERT_TRUE(layer.GetCommTimeouts(port.m_hComm, timeouts));
    EXPECT_EQ(timeouts.readIntervalTimeout, 1000u);
    EXPECT_EQ(timeouts.readTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(timeouts.readTotalTimeoutConstant, 2000u);
    EXPECT_EQ(timeouts.writeTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(timeouts.writeTotalTimeoutConstant, 2000u);
}

TEST_F(Win32PortOnMeter, NameWithTheDevicePrefixOpensTheSamePort) {
    port.Close();
    CMeterPort prefixed;
    EXPECT_NE(prefixed.Open(L"\\\\.\\" + name), kInvalidPort);
}

TEST_F(Win32PortOnMeter, SecondOpenerIsRefused) {
    // Wine lets any number of handles open the same COM device.
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        GTEST_SKIP() << "Wine does not enforce exclusive opens of COM devices";
    }
    CMeterPort second;
    EXPECT_EQ(second.Open(name), kInvalidPort);
    EXPECT_EQ(second.m_hComm.load(), kInvalidPort);
}

TEST_F(Win32PortOnMeter, ReadTakesWhatIsQueuedUpToTheAskedCountAndNeverWaits) {
    QueueProbeAnswer();
    std::array<std::uint8_t, 40> answer{};
    EXPECT_EQ(port.Read(12, answer.data()), 12u);
    EXPECT_EQ(Queued(port.m_hComm), 28u);
    EXPECT_EQ(port.Read(40, answer.data() + 12), 28u);
    EXPECT_TRUE(IsProbeReply(answer.data(), 40));
    EXPECT_EQ(port.Read(40, answer.data()), 0u);
}

TEST_F(Win32PortOnMeter, WriteDiscardsInputThatArrivedBeforeIt) {
    QueueProbeAnswer();
    const Frame frame = BuildSetCorrectionFrame(L"3", 1);
    ASSERT_EQ(port.Write(frame.data(), 40), 40u);
    // The probe's answer is gone; at most the one-character answer to this frame has come.
    EXPECT_LE(Queued(port.m_hComm), 1u);
    // That answer is all that comes (waiting for it also keeps it out of the next test).
    EXPECT_EQ(WaitForQueued(port.m_hComm, 1), 1u);
}

TEST_F(Win32PortOnMeter, DrainInputEmptiesTheQueue) {
    QueueProbeAnswer();
    port.DrainInput();
    EXPECT_EQ(Queued(port.m_hComm), 0u);
}

TEST_F(Win32PortOnMeter, AnsweredFrameReturnsOneAndCloseEndsTheWatcher) {
    EXPECT_EQ(port.SetCorrection(L"3", 1), 1);
    EXPECT_EQ(port.SendFrame(BuildSetCorrectionFrame(L"-3", 2)), 1);

    // A watcher still runs here if the answer came after it started (otherwise it took the answer
    // as already queued and ended). With the answer read, the line is quiet, so a running watcher
    // is blocked in its wait and Close has to end it; the wake as such is tested on its own below.
    port.DrainInput();
    const auto start = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, kLimit);
    EXPECT_FALSE(port.m_bWatcherRunning.load());
    EXPECT_EQ(port.m_hComm.load(), kInvalidPort);
}

// The wake that lets an owner stop its watcher before closing: it ends a wait that is pending on
// a quiet line, and every later wait on the handle.
TEST_F(Win32PortOnMeter, WakeEndsAPendingEventWaitAndEveryLaterOne) {
    ISerialLayer& layer = PlatformSerialLayer();
    const PortHandle handle = port.m_hComm;
    ASSERT_TRUE(layer.SetCommMask(handle, kEvRxChar | kEvErr));

    // Shared with the waiting thread, which is left behind (detached) if the wake fails: a wait
    // that never ends cannot be joined.
    struct Waiter {
        std::unique_ptr<IPortEventWait> wait;
        std::promise<WaitOutcome> outcome;
    };
    const auto waiter = std::make_shared<Waiter>();
    waiter->wait = layer.CreateEventWait(handle);
    ASSERT_NE(waiter->wait, nullptr);
    std::future<WaitOutcome> ended = waiter->outcome.get_future();
    std::thread thread([waiter] {
        std::uint32_t mask = 0;
        waiter->outcome.set_value(waiter->wait->WaitCommEvent(mask));
    });

    EXPECT_EQ(ended.wait_for(200ms), std::future_status::timeout)
        << "nothing arrives, so the wait must still be pending";
    layer.WakeEventWaits(handle);
    const bool woken = ended.wait_for(kLimit) == std::future_status::ready;
    if (woken) {
        thread.join();
    } else {
        thread.detach();
    }
    ASSERT_TRUE(woken);
    EXPECT_EQ(ended.get(), WaitOutcome::Failed);

    std::uint32_t mask = 0;
    EXPECT_EQ(waiter->wait->WaitCommEvent(mask), WaitOutcome::Failed);
}

}  // namespace
