// The Linux layer's port-event wait on kernel pseudo-terminals: what counts as a character
// arriving, the emptied output queue, a vanished device, and waking a blocked wait.
//
// Where a test shows that a wait does NOT end, it gives the wait a quiet moment (kQuiet) to go
// wrong in, then wakes it and checks that it was the wake that ended it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "meter_frames.h"
#include "sim_process.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::chrono::milliseconds kQuiet{300};

struct Result {
    WaitOutcome outcome = WaitOutcome::Failed;
    std::uint32_t mask = 0;
};

class LinuxEventWait : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok());
        handle = layer.Open(pty.PortName());
        ASSERT_NE(handle, kInvalidPort);
        ASSERT_TRUE(layer.SetCommState(handle, {19200, 8, 0xA4}));
        ASSERT_TRUE(layer.PurgeComm(handle, kPurgeAll));
        wait = layer.CreateEventWait(handle);
        ASSERT_NE(wait, nullptr);
        ASSERT_TRUE(layer.SetCommMask(handle, kEvRxChar | kEvTxEmpty | kEvErr));
    }

    void TearDown() override {
        // A wait still running in a test that failed must not outlive the port.
        if (pending.valid()) {
            layer.WakeEventWaits(handle);
            pending.wait();
        }
        wait.reset();
        if (handle != kInvalidPort) layer.Close(handle);
    }

    // Starts a wait on another thread, as the reply watcher runs it.
    void StartWait() {
        pending = std::async(std::launch::async, [this] {
            Result r;
            r.outcome = wait->WaitCommEvent(r.mask);
            return r;
        });
    }

    bool Ended(std::chrono::milliseconds limit = kPtyWaitLimit) {
        return pending.wait_for(limit) == std::future_status::ready;
    }

    // The running wait's result; it must end within the generous limit.
    Result Finish() {
        if (!Ended()) {
            ADD_FAILURE() << "the wait did not end";
            layer.WakeEventWaits(handle);
        }
        return pending.get();
    }

    // Shows that the running wait sees no event: it survives a quiet moment and is then ended
    // by a wake, not by an event.
    void ExpectNoEvent(const char* why) {
        EXPECT_FALSE(Ended(kQuiet)) << why;
        layer.WakeEventWaits(handle);
        const Result r = Finish();
        EXPECT_EQ(r.outcome, WaitOutcome::Failed) << why << ": mask " << r.mask;
    }

    void Receive(const Bytes& bytes) {
        ASSERT_TRUE(pty.Send(bytes));
        ASSERT_TRUE(pty.WaitQueued(bytes.size()));
    }

    PtyPair pty;
    ISerialLayer& layer = PlatformSerialLayer();
    PortHandle handle = kInvalidPort;
    std::unique_ptr<IPortEventWait> wait;
    std::future<Result> pending;
};

TEST_F(LinuxEventWait, ACharacterIsReportedOnceWhileItSitsUnread) {
    StartWait();
    ASSERT_TRUE(pty.Send({0x06}));
    Result r = Finish();
    EXPECT_NE(r.outcome, WaitOutcome::Failed);
    EXPECT_EQ(r.mask, kEvRxChar);
    EXPECT_TRUE(wait->CompletionSignalled(0));

    // The answer stays in the queue; the next wait must sleep, not see it again.
    StartWait();
    EXPECT_FALSE(Ended(kQuiet)) << "an unread character was reported again";
    ASSERT_TRUE(pty.Send({0x07}));
    r = Finish();
    EXPECT_EQ(r.mask, kEvRxChar) << "a further character is a new arrival";
    EXPECT_EQ(pty.Queued(), 2u);
}

TEST_F(LinuxEventWait, ACharacterAfterTheQueueWasReadIsANewArrival) {
    Receive({0x06});
    Result r;
    r.outcome = wait->WaitCommEvent(r.mask);
    ASSERT_EQ(r.mask, kEvRxChar);

    // The same queue size as before, but a different character: the next answer.
    std::uint8_t byte = 0;
    ASSERT_EQ(layer.Read(handle, &byte, 1), 1u);
    StartWait();
    ASSERT_TRUE(pty.Send({0x08}));
    EXPECT_EQ(Finish().mask, kEvRxChar);

    // And the same after a purge.
    ASSERT_TRUE(layer.PurgeComm(handle, kPurgeInput));
    StartWait();
    ASSERT_TRUE(pty.Send({0x09}));
    EXPECT_EQ(Finish().mask, kEvRxChar);
}

TEST_F(LinuxEventWait, ALineSettingChangeIsNoArrival) {
    // Changing the termios wakes every reader of the tty, data or not.
    Receive({0x06});
    Result r;
    r.outcome = wait->WaitCommEvent(r.mask);
    ASSERT_EQ(r.mask, kEvRxChar);
    StartWait();
    ASSERT_TRUE(layer.SetCommState(handle, {9600, 8, 0xA4}));
    ExpectNoEvent("a termios change with an unread character queued");
}

TEST_F(LinuxEventWait, AWriteReportsTheEmptiedOutputQueueOnlyWhenAskedFor) {
    const Frame frame = BuildProbeFrame();
    StartWait();
    ASSERT_EQ(layer.Write(handle, frame.data(), 40), 40u);
    EXPECT_EQ(Finish().mask, kEvTxEmpty);
    EXPECT_EQ(pty.Receive(40).size(), 40u);

    ASSERT_TRUE(layer.SetCommMask(handle, kEvRxChar | kEvErr));
    StartWait();
    ASSERT_EQ(layer.Write(handle, frame.data(), 40), 40u);
    ExpectNoEvent("EV_TXEMPTY is not in the mask");
}

TEST_F(LinuxEventWait, EventsThatBuiltUpBetweenWaitsComeInOneMask) {
    const Frame frame = BuildProbeFrame();
    ASSERT_EQ(layer.Write(handle, frame.data(), 40), 40u);
    Receive({0x06});
    Result r;
    r.outcome = wait->WaitCommEvent(r.mask);
    EXPECT_EQ(r.outcome, WaitOutcome::Immediate);
    EXPECT_EQ(r.mask, kEvRxChar | kEvTxEmpty);
}

TEST_F(LinuxEventWait, ANewMaskForgetsEarlierEvents) {
    const Frame frame = BuildProbeFrame();
    ASSERT_EQ(layer.Write(handle, frame.data(), 40), 40u);
    Receive({0x06});
    ASSERT_TRUE(layer.SetCommMask(handle, kEvRxChar | kEvTxEmpty | kEvErr));
    StartWait();
    ExpectNoEvent("events from before SetCommMask");
}

TEST_F(LinuxEventWait, AWakeEndsABlockedWaitAndEveryLaterOne) {
    StartWait();
    EXPECT_FALSE(Ended(kQuiet));
    std::thread([this] { layer.WakeEventWaits(handle); }).join();
    EXPECT_EQ(Finish().outcome, WaitOutcome::Failed);

    // Sticky: events that arrive later do not revive the port's waits, new ones included.
    Receive({0x06});
    Result r;
    EXPECT_EQ(wait->WaitCommEvent(r.mask), WaitOutcome::Failed);
    const std::unique_ptr<IPortEventWait> fresh = layer.CreateEventWait(handle);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->WaitCommEvent(r.mask), WaitOutcome::Failed);
}

TEST_F(LinuxEventWait, AVanishedDeviceEndsEveryWaitWithExactlyALineError) {
    StartWait();
    EXPECT_FALSE(Ended(kQuiet));
    pty.CloseMaster();
    Result r = Finish();
    EXPECT_EQ(r.outcome, WaitOutcome::Completed);
    EXPECT_EQ(r.mask, kEvErr);

    // Asked again, the answer is the same at once: a watcher never waits on a dead device.
    r = {};
    r.outcome = wait->WaitCommEvent(r.mask);
    EXPECT_EQ(r.outcome, WaitOutcome::Completed);
    EXPECT_EQ(r.mask, kEvErr);
    const std::unique_ptr<IPortEventWait> fresh = layer.CreateEventWait(handle);
    ASSERT_NE(fresh, nullptr);
    r = {};
    r.outcome = fresh->WaitCommEvent(r.mask);
    EXPECT_EQ(r.outcome, WaitOutcome::Completed);
    EXPECT_EQ(r.mask, kEvErr);
}

TEST(LinuxEventWaitVanished, ADeviceGoneBeforeTheWaitWasCreatedIsALineErrorToo) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ISerialLayer& layer = PlatformSerialLayer();
    const PortHandle handle = layer.Open(pty.PortName());
    ASSERT_NE(handle, kInvalidPort);
    pty.CloseMaster();
    const std::unique_ptr<IPortEventWait> wait = layer.CreateEventWait(handle);
    ASSERT_NE(wait, nullptr);
    layer.SetCommMask(handle, kEvRxChar | kEvTxEmpty | kEvErr);
    std::uint32_t mask = 0;
    EXPECT_EQ(wait->WaitCommEvent(mask), WaitOutcome::Completed);
    EXPECT_EQ(mask, kEvErr);
    layer.Close(handle);
}

}  // namespace
