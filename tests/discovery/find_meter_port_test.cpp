// The search for the meter's port, on the in-memory serial layer: pauses are counted rather
// than waited, and the meter is a script that answers what is written to its port.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fake_meter.h"
#include "fake_serial.h"
#include "meter_frames.h"
#include "port_discovery.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using Bytes = FakeSerialLayer::Bytes;

Bytes ProbeBytes() {
    const Frame probe = BuildProbeFrame();
    return Bytes(probe.begin(), probe.end());
}

// `size` bytes of filler with `signature` at `offset`.
Bytes Answer(const std::string& signature = "BOOT", std::size_t size = 40,
             std::uint8_t filler = 0x00, std::size_t offset = 15) {
    Bytes answer(size, filler);
    for (std::size_t i = 0; i < signature.size() && offset + i < size; ++i) {
        answer[offset + i] = static_cast<std::uint8_t>(signature[i]);
    }
    return answer;
}

PortLister ListOf(std::vector<std::wstring> names) {
    return [names](std::vector<PortInfo>& list) {
        for (const std::wstring& name : names)
            list.push_back({name, L""});
    };
}

TEST(FindMeterPort, ProbesInOrderAndStopsAtTheMeter) {
    FakeSerialLayer layer;
    layer.AddPort(L"COM1");
    layer.AddPort(L"COM2", FakeMeter());
    layer.AddPort(L"COM3", FakeMeter());

    EXPECT_EQ(FoundPort(ProbePorts(layer, ListOf({L"COM1", L"COM2", L"COM3"}))), L"COM2");

    EXPECT_THAT(layer.Pauses(), ElementsAre(500u, 500u, 200u));
    EXPECT_THAT(layer.OpenLog(), ElementsAre(L"COM1", L"COM2"));
    for (const wchar_t* name : {L"COM1", L"COM2"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        const FakeSerialLayer::PortState port = layer.Snapshot(name);
        EXPECT_FALSE(port.open) << "left open";
        EXPECT_THAT(port.writes, ElementsAre(ProbeBytes()));
        EXPECT_EQ(port.line.baudRate, 19200u);
        EXPECT_EQ(port.line.byteSize, 8u);
        // Open's purge, the search's own before the probe, Write's, Close's.
        EXPECT_THAT(port.purges, ElementsAre(0x0Fu, 0x0Fu, 0x0Fu, 0x0Fu));
    }
    EXPECT_THAT(layer.Snapshot(L"COM2").reads, ElementsAre(40u));
    EXPECT_EQ(layer.Snapshot(L"COM3").opens, 0);
}

TEST(FindMeterPort, EmptyListReturnsAtOnce) {
    FakeSerialLayer layer;
    EXPECT_EQ(FoundPort(ProbePorts(layer, ListOf({}))), L"");
    EXPECT_THAT(layer.Pauses(), IsEmpty());
    EXPECT_THAT(layer.OpenLog(), IsEmpty());
}

TEST(FindMeterPort, NoMeterCostsEveryPortItsPause) {
    FakeSerialLayer layer;
    for (const wchar_t* name : {L"COM1", L"COM3", L"COM4"})
        layer.AddPort(name);
    EXPECT_EQ(FoundPort(ProbePorts(layer, ListOf({L"COM1", L"COM3", L"COM4"}))), L"");
    EXPECT_THAT(layer.Pauses(), ElementsAre(500u, 500u, 500u));
    EXPECT_THAT(layer.OpenLog(), ElementsAre(L"COM1", L"COM3", L"COM4"));
}

// An empty entry names no port: it is neither opened nor paused for.
TEST(FindMeterPort, SkipsEmptyEntries) {
    struct Case {
        std::vector<std::wstring> list;
        std::vector<std::wstring> opened;
        std::wstring result;
    };
    const std::vector<Case> table = {
        {{L"", L"COM1"}, {L"COM1"}, L"COM1"},
        {{L"", L"COM2", L""}, {L"COM2"}, L""},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(testing::PrintToString(c.list));
        FakeSerialLayer layer;
        layer.AddPort(L"COM1", FakeMeter());
        layer.AddPort(L"COM2");
        EXPECT_EQ(FoundPort(ProbePorts(layer, ListOf(c.list))), c.result);
        EXPECT_EQ(layer.OpenLog(), c.opened);
        std::vector<std::uint32_t> pauses(c.opened.size(), 500u);
        if (!c.result.empty()) pauses.push_back(200u);
        EXPECT_EQ(layer.Pauses(), pauses);
    }
}

TEST(FindMeterPort, OnlyTheFullSignatureIsTheMeter) {
    struct Case {
        const char* what;
        Bytes answer;
        bool meter;
    };
    const std::vector<Case> table = {
        {"40 bytes, BOOT at 15", Answer(), true},
        {"other bytes set", Answer("BOOT", 40, 0xFF), true},
        {"more than 40 queued", Answer("BOOT", 64), true},
        {"39 bytes", Answer("BOOT", 39), false},
        {"lower case", Answer("boot"), false},
        {"one letter in lower case", Answer("BOOt"), false},
        {"one letter wrong", Answer("BOOX"), false},
        {"signature one byte early", Answer("BOOT", 40, 0x00, 14), false},
        {"signature one byte late", Answer("BOOT", 40, 0x00, 16), false},
        {"nothing", Bytes{}, false},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.what);
        FakeSerialLayer layer;
        layer.AddPort(L"COM7", FakeMeter(c.answer));
        EXPECT_EQ(FoundPort(ProbePorts(layer, ListOf({L"COM7"}))), c.meter ? L"COM7" : L"");
        const std::vector<std::uint32_t> pauses =
            c.meter ? std::vector<std::uint32_t>{500, 200} : std::vector<std::uint32_t>{500};
        EXPECT_EQ(layer.Pauses(), pauses);
        EXPECT_FALSE(layer.Snapshot(L"COM7").open);
    }
}

// A port that cannot be had costs its 500 ms, gets no probe, and the search goes on.
TEST(FindMeterPort, PortsThatCannotBeOpenedAreSkipped) {
    struct Case {
        const char* what;
        void (*arrange)(FakeSerialLayer& layer);
    };
    const std::vector<Case> table = {
        {"missing", [](FakeSerialLayer&) {}},
        {"open fails",
         [](FakeSerialLayer& layer) {
             FakeSerialLayer::PortScript script = FakeMeter();
             script.failOpen = true;
             layer.AddPort(L"COM1", script);
         }},
        {"queues cannot be set",
         [](FakeSerialLayer& layer) {
             FakeSerialLayer::PortScript script = FakeMeter();
             script.failSetupComm = true;
             layer.AddPort(L"COM1", script);
         }},
        {"line state cannot be set",
         [](FakeSerialLayer& layer) {
             FakeSerialLayer::PortScript script = FakeMeter();
             script.failSetCommState = true;
             layer.AddPort(L"COM1", script);
         }},
        {"busy",
         [](FakeSerialLayer& layer) {
             layer.AddPort(L"COM1", FakeMeter());
             ASSERT_NE(layer.Open(L"COM1"), kInvalidPort);
         }},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.what);
        FakeSerialLayer layer;
        c.arrange(layer);
        layer.AddPort(L"COM2", FakeMeter());
        EXPECT_EQ(FoundPort(ProbePorts(layer, ListOf({L"COM1", L"COM2"}))), L"COM2");
        EXPECT_THAT(layer.Pauses(), ElementsAre(500u, 500u, 200u));
        EXPECT_THAT(layer.Snapshot(L"COM1").writes, IsEmpty()) << "probe sent to COM1";
    }
}

// Each port tried is recorded with what became of it; the holders of the whole list are looked
// for once, before the first probe; a port another program is seen to hold is not opened at
// all, yet costs its pause like a port that would not open.
TEST(FindMeterPort, RecordsWhatBecameOfEachPortTried) {
    using O = PortOutcome;
    FakeSerialLayer layer;
    const auto refusing = [](OpenReason reason, PortHolder holder = {}, NodeAccess access = {}) {
        FakeSerialLayer::PortScript script = FakeMeter();
        script.failOpen = true;
        script.openFailure = {reason, holder, access};
        return script;
    };
    const NodeAccess uucp{L"uucp", AccessHint::JoinGroup};
    FakeSerialLayer::PortScript unplugged;
    unplugged.failClearCommError = true;
    FakeSerialLayer::PortScript flowStopped;
    flowStopped.writeAccepts = {0};
    CommTimeouts probeWrite;  // as the probe's write met them
    flowStopped.onWrite = [&](FakeSerialLayer& fake, const std::wstring& port, const Bytes&) {
        probeWrite = fake.Snapshot(port).timeouts;
    };
    layer.AddPort(L"held", FakeMeter());
    layer.AddPort(L"locked", refusing(OpenReason::Busy, {L"", 99}));
    layer.AddPort(L"denied", refusing(OpenReason::PermissionDenied, {}, uucp));
    layer.AddPort(L"console", refusing(OpenReason::Console));
    layer.AddPort(L"ppp", refusing(OpenReason::LineDiscipline));
    layer.AddPort(L"odd", refusing(OpenReason::Other));
    layer.AddPort(L"silent");
    layer.AddPort(L"chatty", FakeMeter(Answer("BOOX")));
    layer.AddPort(L"unplugged", unplugged);
    layer.AddPort(L"stopped", flowStopped);
    layer.AddPort(L"meter", FakeMeter());
    std::vector<std::vector<std::wstring>> looks;
    const HolderCheck holders = [&looks](const std::vector<std::wstring>& ports, const StopToken&) {
        looks.push_back(ports);
        return HolderScan{{{L"held", {L"minicom", 1234}}}, {L"silent"}};
    };
    const std::vector<std::wstring> names = {
        L"held",   L"locked", L"denied",    L"console", L"ppp",   L"odd",  L"gone",
        L"silent", L"chatty", L"unplugged", L"stopped", L"meter", L"after"};

    const std::vector<PortProbe> tried =
        ProbePorts(layer, ListOf(names), ProbeScope::UpToFirstAnswer, holders);

    const std::vector<PortProbe> expected = {
        {L"held", O::Busy, {L"minicom", 1234}},
        {L"locked", O::Busy, {L"", 99}},
        {L"denied", O::PermissionDenied, {}, uucp},
        {L"console", O::Console, {}},
        {L"ppp", O::LineDiscipline, {}},
        {L"odd", O::OpenFailed, {}},
        {L"gone", O::Gone, {}},
        {L"silent", O::NoAnswer, {}, {}, true},
        {L"chatty", O::WrongAnswer, {}},
        {L"unplugged", O::Gone, {}},
        {L"stopped", O::NotSent, {}},
        {L"meter", O::Answered, {}},
    };
    EXPECT_EQ(looks, std::vector<std::vector<std::wstring>>{names}) << "one look for the list";
    ASSERT_EQ(tried.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(testing::PrintToString(expected[i].port));
        EXPECT_EQ(tried[i], expected[i]);
    }
    EXPECT_EQ(layer.Snapshot(L"held").opens, 0) << "a port another program holds was opened";
    EXPECT_EQ(layer.OpenLog().front(), L"locked");
    // A probe that did not go out spent its time in the write, bounded to the probe's.
    EXPECT_EQ(probeWrite.writeTotalTimeoutConstant + probeWrite.writeTotalTimeoutMultiplier, 500u);
    std::vector<std::uint32_t> pauses(expected.size() - 1, 500u);
    pauses.push_back(200u);
    EXPECT_EQ(layer.Pauses(), pauses);
}

// What `ports` shows: the peek of each port, and where it sees nothing in the way, the holder
// one look for the whole list finds.
TEST(PeekPorts, OneHolderLookForTheListBehindEachPeek) {
    const OpenStatus locked{OpenReason::Busy, {L"", 7, L"/run/lock/LCK..ttyS1", L"uucp"}};
    const PortPeek peek = [&locked](const std::wstring& port) {
        return port == L"ttyS1" ? locked : OpenStatus{};
    };
    int looks = 0;
    const HolderCheck holders = [&looks](const std::vector<std::wstring>&, const StopToken&) {
        ++looks;
        return HolderScan{{{L"ttyS1", {L"minicom", 8}}, {L"ttyS2", {L"minicom", 9}}}, {L"ttyS3"}};
    };
    const std::vector<PeekedPort> states = PeekPorts(
        {{L"ttyS1", L""}, {L"ttyS2", L""}, {L"ttyS3", L""}}, peek, holders, ProcessStop());
    EXPECT_EQ(looks, 1);
    EXPECT_EQ(states,
              (std::vector<PeekedPort>{
                  {locked, false}, {{OpenReason::Busy, {L"minicom", 9}}, false}, {{}, true}}));
}

// A station with several meters on a hub: the search goes on past the first answer, says of
// every port it probed whether a meter answered there, and probes a port listed twice once.
TEST(ProbePorts, EveryPortReportsEachProbe) {
    FakeSerialLayer layer;
    layer.AddPort(L"COM1", FakeMeter());
    layer.AddPort(L"COM2");
    layer.AddPort(L"COM3", FakeMeter());

    const std::vector<PortProbe> probes =
        ProbePorts(layer, ListOf({L"COM1", L"COM2", L"COM3", L"COM1"}), ProbeScope::EveryPort);

    std::vector<std::pair<std::wstring, bool>> seen;
    for (const PortProbe& probe : probes)
        seen.emplace_back(probe.port, probe.Answered());
    EXPECT_THAT(seen, ElementsAre(std::pair(std::wstring(L"COM1"), true),
                                  std::pair(std::wstring(L"COM2"), false),
                                  std::pair(std::wstring(L"COM3"), true)));
    EXPECT_THAT(layer.OpenLog(), UnorderedElementsAre(L"COM1", L"COM2", L"COM3"));
    // Side by side, one pause after the whole search serves every meter that answered.
    EXPECT_THAT(layer.Pauses(), ElementsAre(500u, 500u, 500u, 200u));
}

// Eight ports at once, no more: the first eight probes' waits are held until all eight are in
// them (a search taking fewer at once never gets there), and no wait ever sees more than eight
// ports open; the other two queue behind.
TEST(ProbePorts, EveryPortProbesEightPortsAtOnce) {
    FakeSerialLayer layer;
    std::vector<std::wstring> names;
    for (int i = 1; i <= 10; ++i) {
        names.push_back(L"COM" + std::to_wstring(i));
        layer.AddPort(names.back(), FakeMeter());
    }
    std::mutex mutex;
    std::condition_variable changed;
    int waiting = 0;
    std::size_t mostOpen = 0;
    bool released = false;
    layer.onPause = [&](std::uint32_t milliseconds) {
        if (milliseconds != 500) return;
        const auto open = std::count_if(names.begin(), names.end(), [&](const std::wstring& n) {
            return layer.Snapshot(n).open;
        });
        std::unique_lock lock(mutex);
        mostOpen = std::max(mostOpen, static_cast<std::size_t>(open));
        if (++waiting == 8) released = true;
        changed.notify_all();
        // Only a fault keeps a wait here that long; it lets the rest go on at once.
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return released; })) {
            released = true;
        }
        --waiting;
    };
    const std::vector<PortProbe> probes = ProbePorts(layer, ListOf(names), ProbeScope::EveryPort);

    EXPECT_EQ(mostOpen, 8u);
    ASSERT_EQ(probes.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(probes[i].port, names[i]);
        EXPECT_TRUE(probes[i].Answered()) << testing::PrintToString(names[i]);
        EXPECT_EQ(layer.Snapshot(names[i]).opens, 1);
    }
}

}  // namespace
