// The command exchange and the reply watcher on the in-memory layer: resends, the watcher's
// reading of port events, its start and its end. Pauses are counted, not waited.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fake_serial.h"
#include "meter_port.h"

namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using Bytes = FakeSerialLayer::Bytes;
using Event = FakeSerialLayer::Event;

const std::wstring kPort = L"COM4";

Bytes Tail(const Frame& frame, std::size_t from) {
    return Bytes(frame.begin() + static_cast<std::ptrdiff_t>(from), frame.end());
}

std::size_t Count(const std::vector<std::uint32_t>& pauses, std::uint32_t ms) {
    return static_cast<std::size_t>(std::count(pauses.begin(), pauses.end(), ms));
}

class Exchange : public ::testing::Test {
  protected:
    void SetUp() override {
        layer.AddPort(kPort);
        ASSERT_NE(port.Open(kPort), kInvalidPort);
    }

    // Runs `action` once, at the first poll pause after a frame was written: the moment the
    // watcher waits for the meter.
    void AtFirstPoll(std::function<void()> action) {
        layer.onPause = [action = std::move(action), done = false](std::uint32_t ms) mutable {
            if (ms == 5 && !done) {
                done = true;
                action();
            }
        };
    }

    // The meter answers one character at the first poll pause, reported as `event`.
    void MeterAnswersDuringPoll(Event event = Event{kEvRxChar}) {
        AtFirstPoll([this, event] {
            layer.QueueInput(kPort, {0x06});
            layer.PushEvent(kPort, event);
        });
    }

    FakeSerialLayer layer;
    CMeterPort port{layer};
    const Frame frame = BuildSetCorrectionFrame(L"3", 1);
};

TEST_F(Exchange, AnsweredFrameReturnsOneAfterTheShortPause) {
    MeterAnswersDuringPoll();
    EXPECT_EQ(port.SendFrame(frame), 1);
    const auto pauses = layer.Pauses();
    ASSERT_FALSE(pauses.empty());
    EXPECT_EQ(pauses.back(), 10u);
    EXPECT_LT(Count(pauses, 5), 5u) << "answer seen within a few polls";
    const auto state = layer.Snapshot(kPort);
    ASSERT_EQ(state.writes.size(), 1u);
    EXPECT_EQ(state.writes[0], Bytes(frame.begin(), frame.end()));
    EXPECT_EQ(state.commMask, kEvRxChar | kEvTxEmpty | kEvErr);
    // The watcher stays to catch the next answer.
    EXPECT_TRUE(port.m_bWatcherRunning);
    EXPECT_EQ(layer.ThreadsRunning(), 1);
}

TEST_F(Exchange, SetCorrectionSendsTheChannelsFrameAndReportsTheAnswer) {
    MeterAnswersDuringPoll();
    EXPECT_EQ(port.SetCorrection(L"0.5", 2), 1);
    const Frame expected = BuildSetCorrectionFrame(L"0.5", 2);
    EXPECT_EQ(layer.Snapshot(kPort).writes.at(0), Bytes(expected.begin(), expected.end()));
}

TEST_F(Exchange, OneWatcherServesConsecutiveSends) {
    for (int i = 0; i < 3; ++i) {
        MeterAnswersDuringPoll();
        EXPECT_EQ(port.SendFrame(frame), 1) << "send " << i;
    }
    EXPECT_EQ(layer.ThreadsStarted(), 1);
    // Each send drained the previous answer before writing.
    EXPECT_EQ(layer.Snapshot(kPort).reads.size(), 2u);
}

TEST_F(Exchange, SilentMeterGivesZeroAfterAThousandPollsAndKeepsTheWatcher) {
    EXPECT_EQ(port.SendFrame(frame), 0);
    const auto pauses = layer.Pauses();
    EXPECT_EQ(pauses.size(), 1000u);
    EXPECT_THAT(pauses, Each(5u));
    EXPECT_TRUE(port.m_bWatcherRunning);
    EXPECT_EQ(port.SendFrame(frame), 0);
    EXPECT_EQ(layer.ThreadsStarted(), 1) << "the waiting watcher is reused";
}

TEST_F(Exchange, ShortWriteResendsTheUnsentTailFromTheFrame) {
    layer.WithPort(kPort, [](auto& state) { state.script.writeAccepts = {30, 10}; });
    MeterAnswersDuringPoll();
    EXPECT_EQ(port.SendFrame(frame), 1);
    const auto state = layer.Snapshot(kPort);
    ASSERT_EQ(state.attempts.size(), 2u);
    EXPECT_EQ(state.attempts[1], Tail(frame, 30));
    EXPECT_EQ(layer.Pauses().front(), 80u);
    EXPECT_EQ(Count(layer.Pauses(), 80), 1u);
}

TEST_F(Exchange, ResendsFollowTheProgressOfEveryAttempt) {
    layer.WithPort(kPort, [](auto& state) { state.script.writeAccepts = {10, 5, 0, 25}; });
    MeterAnswersDuringPoll();
    EXPECT_EQ(port.SendFrame(frame), 1);
    const auto state = layer.Snapshot(kPort);
    ASSERT_EQ(state.attempts.size(), 4u);
    EXPECT_EQ(state.attempts[1], Tail(frame, 10));
    EXPECT_EQ(state.attempts[2], Tail(frame, 15));
    EXPECT_EQ(state.attempts[3], Tail(frame, 15));
    EXPECT_EQ(Count(layer.Pauses(), 80), 3u);
}

TEST_F(Exchange, DriverThatTakesNothingGetsSixMoreTriesAndNoWatcher) {
    layer.WithPort(kPort, [](auto& state) { state.script.writeAccepts = {0, 0, 0, 0, 0, 0, 0}; });
    EXPECT_EQ(port.SendFrame(frame), 0);
    EXPECT_THAT(layer.Pauses(), ElementsAre(80u, 80u, 80u, 80u, 80u, 100u));
    const auto state = layer.Snapshot(kPort);
    ASSERT_EQ(state.attempts.size(), 7u);
    for (const Bytes& attempt : state.attempts)
        EXPECT_EQ(attempt, Tail(frame, 0));
    EXPECT_EQ(layer.ThreadsStarted(), 0);
    EXPECT_FALSE(port.m_bWatcherRunning);
}

// Once a stop is requested no further part of the frame goes to the driver: not the frame of
// a SET still queued behind the interrupt, not the tail of one the driver took only in part.
TEST(ExchangeStop, NoFurtherPartOfTheFrameGoesOutOnceAStopIsRequested) {
    struct Case {
        const char* what;
        bool stopFirst;  // else at the first pause before a resend
        std::size_t attempts;
    };
    const Case cases[] = {{"stopped before the frame", true, 0},
                          {"stopped while the driver holds a part", false, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSerialLayer fake;
        fake.AddPort(kPort);
        fake.WithPort(kPort, [](auto& state) { state.script.writeAccepts = {10}; });
        CMeterPort meter(fake);
        ASSERT_NE(meter.Open(kPort), kInvalidPort);
        if (c.stopFirst) fake.Stop().Cancel();
        fake.onPause = [&fake](std::uint32_t) { fake.Stop().Cancel(); };
        const ExchangeRecord record = meter.SendFrameRecorded(BuildProbeFrame());
        EXPECT_FALSE(record.sent);
        EXPECT_EQ(fake.Snapshot(kPort).attempts.size(), c.attempts);
    }
}

TEST_F(Exchange, StaleInputIsDrainedBeforeTheFrameGoesOut) {
    layer.QueueInput(kPort, Bytes(150, 0x77));
    MeterAnswersDuringPoll();
    EXPECT_EQ(port.SendFrame(frame), 1);
    EXPECT_THAT(layer.Snapshot(kPort).reads, ElementsAre(100u, 50u));
}

struct MaskCase {
    const char* what;
    Event event;
    int result;
    std::int32_t status;
    bool watcherSurvives;
};

class WatcherMasks : public Exchange, public ::testing::WithParamInterface<MaskCase> {};

// Only a mask of exactly "character received" is an answer, and only exactly "line error"
// ends the watcher; anything else (transmit empty after our own write, several bits at
// once) is not an answer.
TEST_P(WatcherMasks, EventDecidesTheOutcome) {
    const MaskCase& c = GetParam();
    MeterAnswersDuringPoll(c.event);
    EXPECT_EQ(port.SendFrame(frame), c.result) << c.what;
    layer.WaitQuiet();
    EXPECT_EQ(port.m_nReplyStatus, c.status) << c.what;
    EXPECT_EQ(port.m_bWatcherRunning.load(), c.watcherSurvives) << c.what;
    EXPECT_EQ(layer.ThreadsRunning(), c.watcherSurvives ? 1 : 0) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Masks, WatcherMasks,
    ::testing::Values(
        MaskCase{"rx char", {kEvRxChar}, 1, REPLY_RECEIVED, true},
        MaskCase{"tx empty alone", {kEvTxEmpty}, 0, REPLY_PENDING, true},
        MaskCase{"rx char with tx empty", {kEvRxChar | kEvTxEmpty}, 0, REPLY_PENDING, true},
        MaskCase{"error with rx char", {kEvErr | kEvRxChar}, 0, REPLY_PENDING, true},
        MaskCase{"line error", {kEvErr}, 0, REPLY_LINE_ERROR, false},
        MaskCase{"immediate rx char", {kEvRxChar, WaitOutcome::Immediate}, 1, REPLY_RECEIVED, true},
        MaskCase{"completion never signalled",
                 {kEvRxChar, WaitOutcome::Completed, false},
                 0,
                 REPLY_TIMEOUT,
                 false}));

TEST_F(Exchange, ImmediateCompletionWithNothingQueuedIsIgnored) {
    AtFirstPoll([this] { layer.PushEvent(kPort, Event{kEvRxChar, WaitOutcome::Immediate}); });
    EXPECT_EQ(port.SendFrame(frame), 0);
    EXPECT_EQ(port.m_nReplyStatus, REPLY_PENDING);
    EXPECT_TRUE(port.m_bWatcherRunning);
}

TEST_F(Exchange, FailedWaitsAreRetriedNotTakenAsAnswers) {
    AtFirstPoll([this] {
        for (int i = 0; i < 3; ++i)
            layer.PushEvent(kPort, Event{kEvRxChar, WaitOutcome::Failed});
    });
    EXPECT_EQ(port.SendFrame(frame), 0);
    EXPECT_TRUE(port.m_bWatcherRunning);
}

// Win32: waiting for a pending port-event wait failed, so its record was put aside. The watcher
// must end rather than wait again on it, and the next send must start a working one.
TEST_F(Exchange, ABrokenWaitEndsTheWatcherAndTheNextSendStartsAFreshOne) {
    AtFirstPoll([this] { layer.PushEvent(kPort, Event{0, WaitOutcome::Broken}); });
    EXPECT_EQ(port.SendFrame(frame), 0);
    layer.WaitQuiet();
    EXPECT_FALSE(port.m_bWatcherRunning);
    EXPECT_EQ(layer.ThreadsRunning(), 0);

    MeterAnswersDuringPoll();
    EXPECT_EQ(port.SendFrame(frame), 1);
    EXPECT_EQ(layer.ThreadsStarted(), 2);
}

TEST_F(Exchange, FailingWaitsOnAVanishedDeviceEndTheWatcherInsteadOfSpinning) {
    AtFirstPoll([this] {
        layer.WithPort(kPort, [](auto& state) { state.script.failClearCommError = true; });
        layer.PushEvent(kPort, Event{0, WaitOutcome::Failed});
    });
    EXPECT_EQ(port.SendFrame(frame), 0);
    layer.WaitQuiet();
    EXPECT_EQ(port.m_nReplyStatus, REPLY_LINE_ERROR);
    EXPECT_FALSE(port.m_bWatcherRunning);
    EXPECT_EQ(layer.ThreadsRunning(), 0);
}

TEST_F(Exchange, AnswerQueuedBeforeTheWatcherStartsCountsAndEndsThatWatcher) {
    layer.WithPort(kPort, [](auto& state) {
        state.script.onWrite = [](FakeSerialLayer& fake, const std::wstring& name, const Bytes&) {
            fake.QueueInput(name, {0x06});
        };
    });
    EXPECT_EQ(port.SendFrame(frame), 1);
    layer.WaitQuiet();
    EXPECT_FALSE(port.m_bWatcherRunning);
    EXPECT_EQ(port.SendFrame(frame), 1);
    EXPECT_EQ(layer.ThreadsStarted(), 2) << "the next send starts a new watcher";
}

TEST_F(Exchange, RefusedThreadIsRetriedByTheNextSend) {
    layer.refuseThreads = true;
    EXPECT_EQ(port.SendFrame(frame), 0);
    EXPECT_FALSE(port.m_bWatcherRunning) << "a watcher that never started must not block retries";
    layer.refuseThreads = false;
    MeterAnswersDuringPoll();
    EXPECT_EQ(port.SendFrame(frame), 1);
    EXPECT_EQ(layer.ThreadsStarted(), 1);
}

std::atomic<int> g_hookCalls{0};
std::wstring g_hookMessage;

TEST_F(Exchange, WatcherWithoutItsEventTellsTheOperatorAndEnds) {
    g_hookCalls = 0;
    SetLinkMessageHook([](const std::wstring& message) {
        g_hookMessage = message;
        ++g_hookCalls;
    });
    layer.failCreateEventWait = true;
    EXPECT_EQ(port.SendFrame(frame), 0);
    layer.WaitQuiet();
    SetLinkMessageHook(nullptr);
    EXPECT_EQ(g_hookCalls, 1);
    EXPECT_EQ(g_hookMessage, L"创建事件失败");
    EXPECT_FALSE(port.m_bWatcherRunning);
}

TEST_F(Exchange, WatcherEndsWhenTheEventMaskCannotBeSet) {
    layer.WithPort(kPort, [](auto& state) { state.script.failSetCommMask = true; });
    EXPECT_EQ(port.SendFrame(frame), 0);
    layer.WaitQuiet();
    EXPECT_FALSE(port.m_bWatcherRunning);
    EXPECT_EQ(layer.ThreadsRunning(), 0);
}

TEST(Watcher, OnAClosedPortReportsNoPort) {
    FakeSerialLayer layer;
    CMeterPort port(layer);
    port.m_bWatcherRunning = true;
    EXPECT_EQ(CMeterPort::WatchReplies(&port), 0);
    EXPECT_EQ(port.m_nReplyStatus, REPLY_NO_PORT);
    EXPECT_FALSE(port.m_bWatcherRunning);
}

TEST_F(Exchange, CloseWhileTheWatcherWaitsStopsAndJoinsIt) {
    EXPECT_EQ(port.SendFrame(frame), 0);
    ASSERT_EQ(layer.ThreadsRunning(), 1);
    port.Close();
    EXPECT_EQ(layer.ThreadsRunning(), 0);
    EXPECT_FALSE(port.m_bWatcherRunning);
    EXPECT_FALSE(layer.Snapshot(kPort).open);
}

TEST_F(Exchange, DestroyingThePortWhileItsWatcherWaitsStopsItFirst) {
    const std::wstring other = L"COM5";
    layer.AddPort(other);
    {
        CMeterPort doomed(layer);
        ASSERT_NE(doomed.Open(other), kInvalidPort);
        EXPECT_EQ(doomed.SendFrame(frame), 0);
        ASSERT_EQ(layer.ThreadsRunning(), 1);
    }
    EXPECT_EQ(layer.ThreadsRunning(), 0);
    EXPECT_FALSE(layer.Snapshot(other).open);
}

TEST_F(Exchange, ReopenedPortGetsAFreshWatcher) {
    EXPECT_EQ(port.SendFrame(frame), 0);
    port.Close();
    ASSERT_NE(port.Open(kPort), kInvalidPort);
    MeterAnswersDuringPoll();
    EXPECT_EQ(port.SendFrame(frame), 1);
    EXPECT_EQ(layer.ThreadsStarted(), 2);
}

// What a record of the exchange says, as the line misbehaves. Each case scripts the line at the
// n-th 5 ms pause after the frame went out (1 is the first poll; 1000 polls make the wait).
TEST_F(Exchange, TheRecordTellsAnAnswerFromAnEchoALateAnswerAndALostPort) {
    const Bytes echo(frame.begin(), frame.end());
    struct Case {
        const char* what;
        std::vector<std::uint32_t> writeAccepts;
        std::map<int, std::function<void(FakeSerialLayer&)>> atPoll;
        bool sent, answered, late, portLost;
        Bytes reply;
    };
    const auto arrive = [](Bytes bytes) {
        return [bytes](FakeSerialLayer& fake) {
            fake.QueueInput(kPort, bytes);
            fake.PushEvent(kPort, {kEvRxChar});
        };
    };
    const auto unplug = [](FakeSerialLayer& fake) {
        fake.WithPort(kPort, [](auto& state) { state.script.failClearCommError = true; });
        fake.PushEvent(kPort, {kEvErr});
    };
    const auto chatter = [](FakeSerialLayer& fake) {
        fake.WithPort(kPort, [](auto& state) { state.script.endlessInput = true; });
        fake.PushEvent(kPort, {kEvRxChar});
    };
    const std::vector<Case> cases = {
        {"answer", {}, {{1, arrive({0x06})}}, true, true, false, false, {0x06}},
        {"echo alone", {}, {{1, arrive(echo)}}, true, false, false, false, echo},
        {"echo in two parts, then the answer",
         {},
         {{1, arrive(Bytes(echo.begin(), echo.begin() + 7))},
          {3, arrive(Bytes(echo.begin() + 7, echo.end()))},
          {9, arrive({0x06})}},
         true,
         true,
         false,
         false,
         echo},
        {"answer after the wait", {}, {{1010, arrive({0x15})}}, true, false, true, false, {0x15}},
        {"a line that never stops",
         {},
         {{1, chatter}},
         true,
         false,
         false,
         false,
         Bytes(kFrameSize, 0x55)},
        {"unplugged while waiting", {}, {{1, unplug}}, true, false, false, true, {}},
        {"the driver takes nothing", {0, 0, 0, 0, 0, 0, 0}, {}, false, false, false, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeSerialLayer fake;
        fake.AddPort(kPort);
        fake.WithPort(kPort, [&](auto& state) {
            state.script.writeAccepts = {c.writeAccepts.begin(), c.writeAccepts.end()};
        });
        CMeterPort meter(fake);
        ASSERT_NE(meter.Open(kPort), kInvalidPort);
        int polls = 0;
        fake.onPause = [&](std::uint32_t ms) {
            if (ms != 5) return;
            const auto action = c.atPoll.find(++polls);
            if (action != c.atPoll.end()) action->second(fake);
        };
        const ExchangeRecord record = meter.SendFrameRecorded(frame);
        EXPECT_EQ(record.sent, c.sent);
        EXPECT_EQ(record.answered, c.answered);
        EXPECT_EQ(record.late, c.late);
        EXPECT_EQ(record.portLost, c.portLost);
        EXPECT_EQ(record.reply, c.reply);
    }
}

}  // namespace
