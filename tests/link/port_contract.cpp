#include "port_contract.h"

#include <gmock/gmock.h>

#include <array>
#include <chrono>
#include <tuple>
#include <vector>

#include "meter_frames.h"
#include "pass_through_layer.h"
#include "test_support.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Bytes = std::vector<std::uint8_t>;

// Only the test's thread calls it: no case starts a reply watcher.
class PortContract::Recorder : public PassThroughLayer {
  public:
    explicit Recorder(ISerialLayer& inner)
        : PassThroughLayer(inner, m_stop), m_stop(*this, inner.Stop()) {}
    PortHandle Open(const std::wstring& name, OpenStatus& status) override {
        ++calls;
        return PassThroughLayer::Open(name, status);
    }
    void Close(PortHandle port) override {
        ++calls;
        ++closes;
        PassThroughLayer::Close(port);
    }
    bool SetupComm(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue) override {
        ++calls;
        queues.push_back({inQueue, outQueue});
        return PassThroughLayer::SetupComm(port, inQueue, outQueue);
    }
    bool PurgeComm(PortHandle port, std::uint32_t flags) override {
        ++calls;
        purges.push_back(flags);
        return PassThroughLayer::PurgeComm(port, flags);
    }
    using PassThroughLayer::Write;
    std::uint32_t Write(PortHandle port, const std::uint8_t* data, std::uint32_t length,
                        const StopToken& stop) override {
        ++calls;
        writes.emplace_back(data, data + length);
        return PassThroughLayer::Write(port, data, length, stop);
    }
    std::uint32_t Read(PortHandle port, std::uint8_t* buffer, std::uint32_t length) override {
        ++calls;
        reads.push_back(length);
        return PassThroughLayer::Read(port, buffer, length);
    }
    int calls = 0;  // of the recorded kinds
    int closes = 0;
    std::vector<std::array<std::uint32_t, 2>> queues;
    std::vector<std::uint32_t> purges;
    std::vector<Bytes> writes;
    std::vector<std::uint32_t> reads;  // sizes asked

  private:
    // The bench layer's pauses, counted as calls.
    class CountingStop : public StopToken {
      public:
        CountingStop(Recorder& recorder, const StopToken& inner)
            : m_recorder(recorder), m_inner(inner) {}
        void Pause(std::uint32_t milliseconds) const override {
            ++m_recorder.calls;
            m_inner.Pause(milliseconds);
        }

      private:
        Recorder& m_recorder;
        const StopToken& m_inner;
    };
    CountingStop m_stop;  // the base holds it before it is built: it is only bound there
};

std::uint32_t Queued(CMeterPort& port) {
    CommStatus status;
    EXPECT_TRUE(port.Layer().ClearCommError(port.m_hComm, status));
    return status.inQueue;
}

bool WaitQueued(CMeterPort& port, std::uint32_t count) {
    return PollUntil([&] { return Queued(port) >= count; }, std::chrono::seconds(10));
}

namespace {

// Writes the probe and waits for the meter's 40-byte answer.
void QueueProbeAnswer(CMeterPort& port) {
    const Frame probe = BuildProbeFrame();
    ASSERT_EQ(port.Write(probe.data(), kFrameSize), kFrameSize);
    ASSERT_TRUE(WaitQueued(port, kFrameSize)) << Queued(port) << " bytes queued";
}

}  // namespace

PortContract::PortContract() = default;
PortContract::~PortContract() = default;

void PortContract::SetUp() {
    m_bench = GetParam()();
    if (!m_bench.skipReason.empty()) GTEST_SKIP() << m_bench.skipReason;
    ASSERT_TRUE(m_bench.ready) << "the meter's port is not ready";
    m_layer = std::make_unique<Recorder>(*m_bench.layer);
    m_port = std::make_unique<CMeterPort>(*m_layer);
}

TEST_P(PortContract, OpenAppliesTheMetersLineSettingsAndPurges) {
    const PortHandle handle = m_port->Open(m_bench.meterPort);
    ASSERT_NE(handle, kInvalidPort);
    EXPECT_EQ(m_port->m_hComm.load(), handle);
    EXPECT_EQ(m_port->LastOpenStatus().reason, OpenReason::Opened);
    EXPECT_THAT(m_layer->queues, ElementsAre(std::array{1000u, 1024u}));
    EXPECT_THAT(m_layer->purges, ElementsAre(kPurgeAll));
    LineState line;
    ASSERT_TRUE(m_layer->GetCommState(handle, line));
    EXPECT_EQ(std::tuple(line.baudRate, line.byteSize, line.eofChar), std::tuple(19200u, 8, 0xA4));
    CommTimeouts t;
    ASSERT_TRUE(m_layer->GetCommTimeouts(handle, t));
    const std::array timeouts{t.readIntervalTimeout, t.readTotalTimeoutMultiplier,
                              t.readTotalTimeoutConstant, t.writeTotalTimeoutMultiplier,
                              t.writeTotalTimeoutConstant};
    EXPECT_EQ(timeouts, (std::array{1000u, 100u, 2000u, 100u, 2000u}));
}

TEST_P(PortContract, OpenUsesTheBaudRateField) {
    m_port->m_nBaudRate = 9600;
    ASSERT_NE(m_port->Open(m_bench.meterPort), kInvalidPort);
    LineState line;
    ASSERT_TRUE(m_layer->GetCommState(m_port->m_hComm, line));
    EXPECT_EQ(line.baudRate, 9600u);
}

TEST_P(PortContract, AMissingPortIsGoneAndTheSameObjectOpensTheNext) {
    EXPECT_EQ(m_port->Open(m_bench.missingPort), kInvalidPort);
    EXPECT_EQ(m_port->m_hComm.load(), kInvalidPort);
    EXPECT_EQ(m_port->LastOpenStatus().reason, OpenReason::Gone);
    EXPECT_NE(m_port->Open(m_bench.meterPort), kInvalidPort);
    EXPECT_EQ(m_port->LastOpenStatus().reason, OpenReason::Opened);
}

TEST_P(PortContract, EveryOperationOfAClosedPortButOpenDoesNothing) {
    std::array<std::uint8_t, kFrameSize> buffer{};
    EXPECT_EQ(m_port->Write(buffer.data(), kFrameSize), 0u);
    EXPECT_EQ(m_port->Read(kFrameSize, buffer.data()), 0u);
    m_port->DrainInput();
    m_port->Close();
    EXPECT_EQ(m_layer->calls, 0);
}

TEST_P(PortContract, ReadTakesWhatIsQueuedUpToTheAskedCountAndNeverWaits) {
    ASSERT_NE(m_port->Open(m_bench.meterPort), kInvalidPort);
    std::array<std::uint8_t, kFrameSize> answer{};
    EXPECT_EQ(m_port->Read(kFrameSize, answer.data()), 0u);
    ASSERT_NO_FATAL_FAILURE(QueueProbeAnswer(*m_port));
    EXPECT_EQ(m_port->Read(12, answer.data()), 12u);
    EXPECT_EQ(Queued(*m_port), 28u);
    EXPECT_EQ(m_port->Read(kFrameSize, answer.data() + 12), 28u);
    EXPECT_TRUE(IsProbeReply(answer.data(), kFrameSize)) << "the answer, whole and in order";
    EXPECT_EQ(m_port->Read(kFrameSize, answer.data()), 0u);
    EXPECT_THAT(m_layer->reads, ElementsAre(12u, 28u)) << "nothing queued: no read issued";
}

TEST_P(PortContract, WriteDiscardsEarlierInputThenSendsEverything) {
    ASSERT_NE(m_port->Open(m_bench.meterPort), kInvalidPort);
    ASSERT_NO_FATAL_FAILURE(QueueProbeAnswer(*m_port));
    const Frame set = BuildSetCorrectionFrame(L"3", 1);
    EXPECT_EQ(m_port->Write(set.data(), kFrameSize), kFrameSize);
    // The probe's answer is gone; at most the one-byte answer to this frame has come.
    EXPECT_LE(Queued(*m_port), 1u);
    EXPECT_THAT(m_layer->purges, ElementsAre(kPurgeAll, kPurgeAll, kPurgeAll));
    EXPECT_THAT(m_layer->writes,
                ElementsAre(ElementsAreArray(BuildProbeFrame()), ElementsAreArray(set)));
    // The meter took it for a frame: its answer, and nothing else, comes.
    ASSERT_TRUE(WaitQueued(*m_port, 1));
    EXPECT_EQ(Queued(*m_port), 1u);
}

TEST_P(PortContract, DrainInputReadsInChunksOfAHundredUntilEmpty) {
    ASSERT_NE(m_port->Open(m_bench.meterPort), kInvalidPort);
    // Seven probes straight through the layer, which unlike Write purges nothing: 280 bytes.
    const Frame probe = BuildProbeFrame();
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(m_layer->Write(m_port->m_hComm, probe.data(), kFrameSize), kFrameSize);
    ASSERT_TRUE(WaitQueued(*m_port, 7 * kFrameSize)) << Queued(*m_port) << " bytes queued";
    m_port->DrainInput();
    EXPECT_EQ(Queued(*m_port), 0u);
    // The pass that finds the queue empty issues no read.
    EXPECT_THAT(m_layer->reads, ElementsAre(100u, 100u, 80u));
}

TEST_P(PortContract, ClosePurgesAndReleasesTheDevice) {
    ASSERT_NE(m_port->Open(m_bench.meterPort), kInvalidPort);
    m_port->Close();
    EXPECT_EQ(m_port->m_hComm.load(), kInvalidPort);
    EXPECT_FALSE(m_port->m_bListening.load());
    EXPECT_EQ(m_layer->closes, 1);
    EXPECT_THAT(m_layer->purges, ElementsAre(kPurgeAll, kPurgeAll));
    // Closed means closed: a second Close touches nothing, and the device opens again.
    const int calls = m_layer->calls;
    m_port->Close();
    EXPECT_EQ(m_layer->calls, calls);
    EXPECT_NE(m_port->Open(m_bench.meterPort), kInvalidPort);
}

TEST_P(PortContract, DestructionClosesWithoutPurging) {
    ASSERT_NE(m_port->Open(m_bench.meterPort), kInvalidPort);
    m_port.reset();
    EXPECT_EQ(m_layer->closes, 1);
    EXPECT_THAT(m_layer->purges, ElementsAre(kPurgeAll)) << "only Open's purge";
    CMeterPort again(*m_layer);
    EXPECT_NE(again.Open(m_bench.meterPort), kInvalidPort) << "the device was not released";
}

TEST_P(PortContract, ASecondOpenerIsRefusedWhileTheFirstHoldsThePort) {
    if (!m_bench.refusesSecondOpener) GTEST_SKIP() << "the platform lets a second opener in";
    CMeterPort second(*m_layer);
    ASSERT_NE(m_port->Open(m_bench.meterPort), kInvalidPort);
    EXPECT_EQ(second.Open(m_bench.meterPort), kInvalidPort);
    EXPECT_EQ(second.m_hComm.load(), kInvalidPort);
    EXPECT_EQ(second.LastOpenStatus().reason, OpenReason::Busy);
    m_port->Close();
    EXPECT_NE(second.Open(m_bench.meterPort), kInvalidPort);
}
