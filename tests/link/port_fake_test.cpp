// CMeterPort on the in-memory layer: the port contract, and what only a scripted driver can do
// (refuse a step of the open, report line errors, take part of a write, never stop sending).

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "fake_meter.h"
#include "fake_serial.h"
#include "meter_port.h"
#include "port_contract.h"

namespace {

using Bytes = FakeSerialLayer::Bytes;

const std::wstring kPort = L"COM3";

PortBench FakeBench() {
    const auto layer = std::make_shared<FakeSerialLayer>();
    layer->AddPort(kPort, FakeMeter());
    return {.owner = layer, .layer = layer.get(), .meterPort = kPort, .missingPort = L"COM9"};
}

INSTANTIATE_TEST_SUITE_P(Fake, PortContract, ::testing::Values(&FakeBench), BenchName);

class PortOnFake : public ::testing::Test {
  protected:
    void SetUp() override {
        layer.AddPort(kPort);
        ASSERT_NE(port.Open(kPort), kInvalidPort);
    }
    FakeSerialLayer layer;
    CMeterPort port{layer};
};

struct OpenFailure {
    const char* what;
    void (*script)(FakeSerialLayer::PortScript&);
};

class OpenFailures : public ::testing::TestWithParam<OpenFailure> {};

// A half-opened port (queues or line state refused) is closed again: a valid m_hComm always
// means a usable port, and nothing stays held that would block the next attempt.
TEST_P(OpenFailures, ReturnMinusOneAndLeaveThePortClosed) {
    const OpenFailure& c = GetParam();
    FakeSerialLayer layer;
    FakeSerialLayer::PortScript script;
    c.script(script);
    layer.AddPort(kPort, script);
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
    ::testing::Values(OpenFailure{"device refuses", [](auto& s) { s.failOpen = true; }},
                      OpenFailure{"SetupComm fails", [](auto& s) { s.failSetupComm = true; }},
                      OpenFailure{"SetCommState fails",
                                  [](auto& s) { s.failSetCommState = true; }}));

TEST_F(PortOnFake, ReadDiscardsInputWhenTheLineReportsAnError) {
    std::uint8_t buffer[40] = {};
    layer.QueueInput(kPort, Bytes(30, 0x55));
    layer.SetLineErrors(kPort, kCeFrame);
    EXPECT_EQ(port.Read(40, buffer), 0u);
    const auto state = layer.Snapshot(kPort);
    EXPECT_TRUE(state.input.empty());
    EXPECT_EQ(state.purges.back(), kPurgeInput);
    // The error word was cleared by reading it: the next bytes read normally.
    layer.QueueInput(kPort, Bytes(5, 0x55));
    EXPECT_EQ(port.Read(40, buffer), 5u);
}

TEST_F(PortOnFake, ReadGivesNothingWhenTheStatusCannotBeRead) {
    layer.QueueInput(kPort, Bytes(10, 0x55));
    layer.WithPort(kPort, [](auto& state) { state.script.failClearCommError = true; });
    std::uint8_t buffer[40] = {};
    EXPECT_EQ(port.Read(40, buffer), 0u);
}

TEST_F(PortOnFake, WriteReportsWhatTheDriverTook) {
    layer.WithPort(kPort, [](auto& state) { state.script.writeAccepts = {25}; });
    const Frame probe = BuildProbeFrame();
    EXPECT_EQ(port.Write(probe.data(), 40), 25u);
}

TEST_F(PortOnFake, DrainInputEndsAgainstADeviceThatNeverStops) {
    layer.WithPort(kPort, [](auto& state) { state.script.endlessInput = true; });
    const auto start = std::chrono::steady_clock::now();
    port.DrainInput();
    const auto took = std::chrono::steady_clock::now() - start;
    // Bounded at about a second; the generous limit only guards against "never".
    EXPECT_LT(took, std::chrono::seconds(30));
    EXPECT_GT(layer.Snapshot(kPort).reads.size(), 1u);
}

}  // namespace
