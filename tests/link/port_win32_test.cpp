// CMeterPort on the Win32 serial layer, against the simulated meter on a COM port: the port
// contract, and what only Win32 shows: COM names with and without the device namespace prefix,
// the exchange's watcher ended at close, and the wake of a pending event wait. Under Wine the
// port is a pty mapped as COM port; DRAVIK_TEST_COM names it (e.g. COM7). Without it the tests
// that need the meter are skipped.

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "meter_frames.h"
#include "meter_port.h"
#include "port_contract.h"
#include "serial_layer.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

// Generous: the simulated meter answers within milliseconds.
constexpr auto kLimit = 5s;

PortBench Win32Bench() {
    PortBench bench{.layer = &PlatformSerialLayer(), .missingPort = L"DravikNoSuchPort"};
    bench.meterPort = TestComPort(bench.skipReason);
    // Wine lets any number of handles open the same COM device.
    bench.refusesSecondOpener =
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr;
    return bench;
}

INSTANTIATE_TEST_SUITE_P(Win32, PortContract, ::testing::Values(&Win32Bench), BenchName);

TEST(Win32Port, AMissingPortNamedWithTheDevicePrefixFailsToOpen) {
    CMeterPort port;
    EXPECT_EQ(port.Open(L"\\\\.\\DravikNoSuchPort"), kInvalidPort);
    EXPECT_EQ(port.m_hComm.load(), kInvalidPort);
}

class Win32PortOnMeter : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string skipReason;
        name = TestComPort(skipReason);
        if (name.empty()) GTEST_SKIP() << skipReason;
        ASSERT_NE(port.Open(name), kInvalidPort);
    }

    std::wstring name;
    CMeterPort port;
};

TEST_F(Win32PortOnMeter, NameWithTheDevicePrefixOpensTheSamePort) {
    port.Close();
    CMeterPort prefixed;
    EXPECT_NE(prefixed.Open(L"\\\\.\\" + name), kInvalidPort);
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
