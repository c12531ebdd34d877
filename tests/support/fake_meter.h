#pragma once

// The meter as a script of the in-memory serial layer, and what a test reads back from the
// frames written to it.

#include <cstddef>
#include <string>
#include <vector>

#include "fake_serial.h"

// 40 bytes with the meter's signature where a probe reply carries it.
FakeSerialLayer::Bytes MeterProbeReply();

// A device on a fake port that answers what is written to it: a probe frame with
// `probeReply` (the meter's own, unless a test gives other bytes) and, when `answersSet`, a
// set-correction frame with one character and a receive event, as the real meter does.
FakeSerialLayer::PortScript FakeMeter(FakeSerialLayer::Bytes probeReply = MeterProbeReply(),
                                      bool answersSet = true);
// The meter, except that it never answers a set-correction frame.
FakeSerialLayer::PortScript SilentOnSetMeter();

// The set-correction frames written to a fake port, in order, and the number of probe frames.
std::vector<FakeSerialLayer::Bytes> SetFrames(FakeSerialLayer& layer, const std::wstring& port);
std::size_t ProbeCount(FakeSerialLayer& layer, const std::wstring& port);
