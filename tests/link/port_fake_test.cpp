// CMeterPort's own steps (open, transfers, purges, drain) on the in-memory layer, where every
// call the port makes can be seen and every driver failure scripted.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>

#include "fake_serial.h"
#include "meter_port.h"

namespace {

using ::testing::ElementsAre;
using Bytes = FakeSerialLayer::Bytes;

const std::wstring kPort = L"COM3";

Bytes Sequence(std::size_t count) {
    Bytes bytes(count);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
    return bytes;
}

class PortOnFake : public ::testing::Test {
  protected:
    void SetUp() override { layer.AddPort(kPort); }
    FakeSerialLayer layer;
};

TEST_F(PortOnFake, OpenAppliesTheMetersLineSettingsAndPurges) {
    CMeterPort port(layer);
    const PortHandle handle = port.Open(kPort);
    ASSERT_NE(handle, kInvalidPort);
    EXPECT_EQ(port.m_hComm, handle);

    const auto state = layer.Snapshot(kPort);
    EXPECT_EQ(state.inQueueSize, 1000u);
    EXPECT_EQ(state.outQueueSize, 1024u);
    EXPECT_EQ(state.timeouts.readIntervalTimeout, 1000u);
    EXPECT_EQ(state.timeouts.readTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(state.timeouts.readTotalTimeoutConstant, 2000u);
    EXPECT_EQ(state.timeouts.writeTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(state.timeouts.writeTotalTimeoutConstant, 2000u);
    EXPECT_EQ(state.line.baudRate, 19200u);
    EXPECT_EQ(state.line.byteSize, 8);
    EXPECT_EQ(state.line.eofChar, 0xA4);
    EXPECT_THAT(state.purges, ElementsAre(kPurgeAll));
}

TEST_F(PortOnFake, OpenUsesTheBaudRateField) {
    CMeterPort port(layer);
    port.m_nBaudRate = 9600;
    ASSERT_NE(port.Open(kPort), kInvalidPort);
    EXPECT_EQ(layer.Snapshot(kPort).line.baudRate, 9600u);
}

struct OpenFailure {
    const char* what;
    void (*script)(FakeSerialLayer::PortScript&);
    bool portExists;
};

class OpenFailures : public ::testing::TestWithParam<OpenFailure> {};

// A half-opened port (queues or line state refused) is closed again: a valid m_hComm always
// means a usable port, and nothing stays held that would block the next attempt.
TEST_P(OpenFailures, ReturnMinusOneAndLeaveThePortClosed) {
    const OpenFailure& c = GetParam();
    FakeSerialLayer layer;
    if (c.portExists) {
        FakeSerialLayer::PortScript script;
        c.script(script);
        layer.AddPort(kPort, script);
    }
    CMeterPort port(layer);
    EXPECT_EQ(port.Open(kPort), -1) << c.what;
    EXPECT_EQ(port.m_hComm, kInvalidPort) << c.what;
    EXPECT_FALSE(layer.Snapshot(kPort).open) << c.what;

    // Once the driver behaves, the same object opens.
    layer.WithPort(kPort, [](auto& state) { state.script = FakeSerialLayer::PortScript(); });
    EXPECT_NE(port.Open(kPort), kInvalidPort) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, OpenFailures,
    ::testing::Values(OpenFailure{"missing device", [](auto&) {}, false},
                      OpenFailure{"device refuses", [](auto& s) { s.failOpen = true; }, true},
                      OpenFailure{"SetupComm fails", [](auto& s) { s.failSetupComm = true; }, true},
                      OpenFailure{"SetCommState fails", [](auto& s) { s.failSetCommState = true; },
                                  true}));

TEST(ClosedPort, EveryOperationButOpenDoesNothing) {
    FakeSerialLayer layer;
    layer.AddPort(kPort);
    CMeterPort port(layer);
    std::uint8_t buffer[40] = {};
    EXPECT_EQ(port.Write(buffer, 40), 0u);
    EXPECT_EQ(port.Read(40, buffer), 0u);
    port.DrainInput();
    port.Close();
    EXPECT_TRUE(layer.OpenLog().empty());
    EXPECT_EQ(layer.Pauses().size(), 0u);
}

TEST_F(PortOnFake, ReadTakesWhatIsQueuedUpToTheAskedCountAndNeverWaits) {
    CMeterPort port(layer);
    ASSERT_NE(port.Open(kPort), kInvalidPort);
    std::uint8_t buffer[40] = {};

    EXPECT_EQ(port.Read(40, buffer), 0u);
    EXPECT_TRUE(layer.Snapshot(kPort).reads.empty()) << "nothing queued: no read issued";

    layer.QueueInput(kPort, Sequence(12));
    EXPECT_EQ(port.Read(40, buffer), 12u);
    EXPECT_EQ(buffer[11], 11);

    layer.QueueInput(kPort, Sequence(100));
    EXPECT_EQ(port.Read(40, buffer), 40u);
    EXPECT_EQ(layer.Snapshot(kPort).input.size(), 60u);
}

TEST_F(PortOnFake, ReadDiscardsInputWhenTheLineReportsAnError) {
    CMeterPort port(layer);
    ASSERT_NE(port.Open(kPort), kInvalidPort);
    std::uint8_t buffer[40] = {};
    layer.QueueInput(kPort, Sequence(30));
    layer.SetLineErrors(kPort, kCeFrame);
    EXPECT_EQ(port.Read(40, buffer), 0u);
    const auto state = layer.Snapshot(kPort);
    EXPECT_TRUE(state.input.empty());
    EXPECT_EQ(state.purges.back(), kPurgeInput);
    // The error word was cleared by reading it: the next bytes read normally.
    layer.QueueInput(kPort, Sequence(5));
    EXPECT_EQ(port.Read(40, buffer), 5u);
}

TEST_F(PortOnFake, ReadGivesNothingWhenTheStatusCannotBeRead) {
    CMeterPort port(layer);
    ASSERT_NE(port.Open(kPort), kInvalidPort);
    layer.QueueInput(kPort, Sequence(10));
    layer.WithPort(kPort, [](auto& state) { state.script.failClearCommError = true; });
    std::uint8_t buffer[40] = {};
    EXPECT_EQ(port.Read(40, buffer), 0u);
}

TEST_F(PortOnFake, WriteDiscardsEarlierInputThenSendsEverything) {
    CMeterPort port(layer);
    ASSERT_NE(port.Open(kPort), kInvalidPort);
    layer.QueueInput(kPort, Sequence(7));
    const Frame probe = BuildProbeFrame();
    EXPECT_EQ(port.Write(probe.data(), 40), 40u);
    const auto state = layer.Snapshot(kPort);
    EXPECT_TRUE(state.input.empty());
    EXPECT_EQ(state.purges.back(), kPurgeAll);
    ASSERT_EQ(state.writes.size(), 1u);
    EXPECT_EQ(state.writes[0], Bytes(probe.begin(), probe.end()));
}

TEST_F(PortOnFake, WriteReportsWhatTheDriverTook) {
    layer.WithPort(kPort, [](auto& state) { state.script.writeAccepts = {25}; });
    CMeterPort port(layer);
    ASSERT_NE(port.Open(kPort), kInvalidPort);
    const Frame probe = BuildProbeFrame();
    EXPECT_EQ(port.Write(probe.data(), 40), 25u);
}

TEST_F(PortOnFake, DrainInputReadsInChunksOfAHundredUntilEmpty) {
    CMeterPort port(layer);
    ASSERT_NE(port.Open(kPort), kInvalidPort);
    layer.QueueInput(kPort, Sequence(250));
    port.DrainInput();
    const auto state = layer.Snapshot(kPort);
    EXPECT_TRUE(state.input.empty());
    // The pass that finds the queue empty issues no read.
    EXPECT_THAT(state.reads, ElementsAre(100u, 100u, 50u));
}

TEST_F(PortOnFake, DrainInputEndsAgainstADeviceThatNeverStops) {
    layer.WithPort(kPort, [](auto& state) { state.script.endlessInput = true; });
    CMeterPort port(layer);
    ASSERT_NE(port.Open(kPort), kInvalidPort);
    const auto start = std::chrono::steady_clock::now();
    port.DrainInput();
    const auto took = std::chrono::steady_clock::now() - start;
    // Bounded at about a second; the generous limit only guards against "never".
    EXPECT_LT(took, std::chrono::seconds(30));
    EXPECT_GT(layer.Snapshot(kPort).reads.size(), 1u);
}

TEST_F(PortOnFake, ClosePurgesAndReleasesTheDevice) {
    CMeterPort port(layer);
    ASSERT_NE(port.Open(kPort), kInvalidPort);
    port.Close();
    EXPECT_EQ(port.m_hComm, kInvalidPort);
    EXPECT_FALSE(port.m_bListening);
    const auto state = layer.Snapshot(kPort);
    EXPECT_FALSE(state.open);
    EXPECT_THAT(state.purges, ElementsAre(kPurgeAll, kPurgeAll));
    // Closed means closed: a second Close touches nothing, and the device opens again.
    port.Close();
    EXPECT_NE(port.Open(kPort), kInvalidPort);
}

TEST_F(PortOnFake, DestructionClosesWithoutPurging) {
    {
        CMeterPort port(layer);
        ASSERT_NE(port.Open(kPort), kInvalidPort);
    }
    const auto state = layer.Snapshot(kPort);
    EXPECT_FALSE(state.open);
    EXPECT_THAT(state.purges, ElementsAre(kPurgeAll)) << "only Open's purge";
}

TEST_F(PortOnFake, ASecondOpenerIsRefusedWhileTheFirstHoldsThePort) {
    CMeterPort first(layer);
    CMeterPort second(layer);
    ASSERT_NE(first.Open(kPort), kInvalidPort);
    EXPECT_EQ(second.Open(kPort), -1);
    EXPECT_EQ(second.m_hComm, kInvalidPort);
}

}  // namespace
