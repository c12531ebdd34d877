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

const std::wstring kContractPort = L"COM3";

PortBench FakeBench() {
    const auto layer = std::make_shared<FakeSerialLayer>();
    layer->AddPort(kContractPort, FakeMeter());
    return {.owner = layer, .layer = layer.get(), .meterPort = kContractPort, .missingPort = L"COM9"};
}

INSTANTIATE_TEST_SUITE_P(Fake, PortContract, ::testing::Values(&FakeBench), BenchName);

class PortOnFake : public ::testing::Test {
  protected:
    void SetUp() override {
        layer.AddPort(kContractPort);
        ASSERT_NE(port.Open(kContractPort), kInvalidPort);
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
    layer.AddPort(kContractPort, script);
    CMeterPort port(layer);
    EXPECT_EQ(port.Open(kContractPort), -1) << c.what;
    EXPECT_EQ(port.m_hComm, kInvalidPort) << c.what;
    EXPECT_FALSE(layer.Snapshot(kContractPort).open) << c.what;

    // Once the driver behaves, the same object opens.
    layer.WithPort(kContractPort, [](auto& state) { state.script = FakeSerialLayer::PortScript(); });
    EXPECT_NE(port.Open(kContractPort), kInvalidPort) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, OpenFailures,
    ::testing::Values(OpenFailure{"device refuses", [](auto& s) { s.failOpen = true; }},
                      OpenFailure{"SetupComm fails", [](auto& s) { s.failSetupComm = true; }},
                      OpenFailure{"SetCommState fails",
                                  [](auto& s) { s.failSetCommState = true; }}));

TEST_F(PortOnFake, ReadDiscardsInputWhenTheLineReportsAnError) {
    std::uint8_t buffer[40] = {};
    layer.QueueInput(kContractPort, Bytes(30, 0x55));
    layer.SetLineErrors(kContractPort, kCeFrame);
    EXPECT_EQ(port.Read(40, buffer), 0u);
    const auto state = layer.Snapshot(kContractPort);
    EXPECT_TRUE(state.input.empty());
    EXPECT_EQ(state.purges.back(), kPurgeInput);
    // The error word was cleared by reading it: the next bytes read normally.
    layer.QueueInput(kContractPort, Bytes(5, 0x55));
    EXPECT_EQ(port.Read(40, buffer), 5u);
}

TEST_F(PortOnFake, ReadGivesNothingWhenTheStatusCannotBeRead) {
    layer.QueueInput(kContractPort, Bytes(10, 0x55));
    layer.WithPort(kContractPort, [](auto& state) { state.script.failClearCommError = true; });
    std::uint8_t buffer[40] = {};
    EXPECT_EQ(port.Read(40, buffer), 0u);
}

TEST_F(PortOnFake, WriteReportsWhatTheDriverTook) {
    layer.WithPort(kContractPort, [](auto& state) { state.script.writeAccepts = {25}; });
    const Frame probe = BuildProbeFrame();
    EXPECT_EQ(port.Write(probe.data(), 40), 25u);
}

TEST_F(PortOnFake, DrainInputEndsAgainstADeviceThatNeverStops) {
    layer.WithPort(kContractPort, [](auto& state) { state.script.endlessInput = true; });
    const auto start = std::chrono::steady_clock::now();
    port.DrainInput();
    const auto took = std::chrono::steady_clock::now() - start;
    // Bounded at about a second; the generous limit only guards against "never".
    EXPECT_LT(took, std::chrono::seconds(30));
    EXPECT_GT(layer.Snapshot(kContractPort).reads.size(), 1u);
}

}  // namespace
