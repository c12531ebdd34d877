#pragma once

// What CMeterPort promises on every serial layer (open, write, read, drain, purge, close, on a
// closed port and an open one), written once; each layer's test file gives a PortBench and runs
// the cases on it with INSTANTIATE_TEST_SUITE_P(Layer, PortContract, Values(&LayerBench)).

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "meter_port.h"

// A layer with a port on which a meter answers a probe with its 40-byte reply and a
// set-correction frame with one byte: the in-memory fake meter, or meter-sim.
struct PortBench {
    std::shared_ptr<void> owner{};  // keeps the layer and the meter alive
    ISerialLayer* layer = nullptr;
    std::wstring meterPort{};
    std::wstring missingPort{};
    bool ready = true;         // false: the meter's port could not be made ready; the cases fail
    std::string skipReason{};  // why the cases cannot run here (no port was given): skipped
    bool refusesSecondOpener = true;  // false where any handle may open it (Wine's COM ports)
};

// The one bench of an instantiation, named so that the cases' names stay the same from run to
// run (a function's address would not).
inline std::string BenchName(const ::testing::TestParamInfo<PortBench (*)()>&) {
    return "Bench";
}

class PortContract : public ::testing::TestWithParam<PortBench (*)()> {
  protected:
    class Recorder;
    PortContract();
    ~PortContract() override;
    void SetUp() override;

    PortBench m_bench;
    std::unique_ptr<Recorder> m_layer;   // the bench's layer, recording what CMeterPort asks
    std::unique_ptr<CMeterPort> m_port;  // on m_layer, closed
};

// The bytes waiting in an open port's input queue, and a wait (with a generous limit) until at
// least `count` are.
std::uint32_t Queued(CMeterPort& port);
bool WaitQueued(CMeterPort& port, std::uint32_t count);
