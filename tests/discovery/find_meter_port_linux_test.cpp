// The search on the real serial layer, over ptys with simulated meters. The ports come only
// from DRAVIK_EXTRA_PORTS: the sysfs root is an empty temp dir, so the machine's own serial
// ports are never listed, let alone opened. The one test that runs dravik-cli itself, whose
// list starts with the machine's own, runs only where the machine lists none.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "enum_ports_linux.h"
#include "holder_process.h"
#include "machine_ports.h"
#include "meter_frames.h"
#include "meter_port.h"
#include "port_discovery.h"
#include "recording_layer.h"
#include "scoped_env.h"
#include "scratch_dir.h"
#include "sim_process.h"
#include "system_linux.h"
#include "uucp_lock_linux.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAreArray;

// An empty sysfs tree and the extra ports to list after it, for one test.
class ExtraPortsOnly {
  public:
    explicit ExtraPortsOnly(const std::vector<std::string>& paths)
        : m_env("DRAVIK_EXTRA_PORTS", Joined(paths).c_str()) {}

    bool Ok() const { return m_root.Ok(); }

    // The machine's list as EnumSerialPorts builds it, on the empty tree.
    PortLister Lister() const {
        return [root = m_root.Path()](std::vector<PortInfo>& list) {
            EnumSerialPortsFromSysfs(list, root, root + "/dev", [](const std::string& path) {
                ADD_FAILURE() << "device asked for its UART type: " << path;
                return std::optional<int>();
            });
            AppendExtraPorts(list);
        };
    }

  private:
    static std::string Joined(const std::vector<std::string>& paths) {
        std::string value;
        for (const std::string& path : paths)
            value += path + ":";
        return value;
    }

    const ScopedEnv m_env;
    const ScratchDir m_root;
};

std::vector<std::string> Devices(const std::vector<std::unique_ptr<MeterSimProcess>>& sims) {
    std::vector<std::string> paths;
    for (const auto& sim : sims)
        paths.push_back(sim->DevicePath());
    return paths;
}

TEST(FindMeterPortOnPtys, FindsTheMeterBehindMissingAndSilentPorts) {
    MeterSimProcess silent({"--silent"});
    MeterSimProcess meter;
    MeterSimProcess later;
    ASSERT_TRUE(silent.Started() && meter.Started() && later.Started());
    const std::string missing = meter.DevicePath() + "-missing";
    const ExtraPortsOnly ports(
        {missing, silent.DevicePath(), meter.DevicePath(), later.DevicePath()});
    ASSERT_TRUE(ports.Ok());

    RecordingLayer layer;
    EXPECT_EQ(FoundPort(ProbePorts(layer, ports.Lister())), meter.PortName());

    EXPECT_THAT(layer.Opened(),
                ElementsAre(WidePath(missing), silent.PortName(), meter.PortName()));
    EXPECT_THAT(layer.Pauses(), ElementsAre(500u, 500u, 500u, 200u));
    ASSERT_TRUE(silent.WaitForFrames(1)) << "the silent port was not probed";
    EXPECT_THAT(silent.Frames(), ElementsAre(StartsWith("FRAME probe")));
    ASSERT_TRUE(meter.WaitForLines("REPLY probe", 1));
    EXPECT_THAT(meter.Frames(), ElementsAre(StartsWith("FRAME probe")));

    // The search closed the meter's port again: the caller can open it.
    CMeterPort port;
    EXPECT_NE(port.Open(meter.PortName()), kInvalidPort);
}

TEST(FindMeterPortOnPtys, SkipsAMeterHeldByAnotherOpener) {
    MeterSimProcess held;
    MeterSimProcess free;
    ASSERT_TRUE(held.Started() && free.Started());
    CMeterPort holder;
    ASSERT_NE(holder.Open(held.PortName()), kInvalidPort);
    const ExtraPortsOnly ports({held.DevicePath(), free.DevicePath()});
    ASSERT_TRUE(ports.Ok());

    RecordingLayer layer;
    EXPECT_EQ(FoundPort(ProbePorts(layer, ports.Lister())), free.PortName());

    EXPECT_THAT(layer.Opened(), ElementsAre(held.PortName(), free.PortName()));
    EXPECT_THAT(layer.Pauses(), ElementsAre(500u, 500u, 200u)) << "the busy port costs its pause";
    ASSERT_TRUE(free.WaitForLines("REPLY probe", 1));
    EXPECT_THAT(held.Frames(), IsEmpty()) << "a probe reached a port someone else holds";
    EXPECT_NE(holder.m_hComm.load(), kInvalidPort);
}

// As root the kernel would let the search through another program's TIOCEXCL: the layer asks.
TEST(FindMeterPortOnPtys, SkipsAMeterAnotherProgramHoldsExclusivelyOrLocked) {
    for (const auto hold : {HolderProcess::Hold::Exclusive, HolderProcess::Hold::Flock}) {
        SCOPED_TRACE(hold == HolderProcess::Hold::Exclusive ? "TIOCEXCL" : "flock");
        MeterSimProcess held;
        MeterSimProcess free;
        ASSERT_TRUE(held.Started() && free.Started());
        const HolderProcess holder(held.DevicePath(), hold);
        ASSERT_TRUE(holder.Ok());
        const ExtraPortsOnly ports({held.DevicePath(), free.DevicePath()});
        ASSERT_TRUE(ports.Ok());

        RecordingLayer layer;
        const std::vector<PortProbe> tried =
            ProbePorts(layer, ports.Lister(), ProbeScope::UpToFirstAnswer);
        EXPECT_EQ(FoundPort(tried), free.PortName());

        ASSERT_EQ(tried.size(), 2u);
        EXPECT_EQ(tried[0].outcome, PortOutcome::Busy);
        ASSERT_TRUE(free.WaitForLines("REPLY probe", 1));
        EXPECT_THAT(held.Frames(), IsEmpty()) << "a probe reached a port another program holds";
    }
}

// A station's hub: four meters and two silent ports, each opened once, side by side, and told
// in list order. One after another they take at least 6 x 500 + 200 ms, side by side about
// 700 ms; the bound between leaves a loaded machine room.
TEST(ProbeEveryPortOnPtys, FindsFourMetersAmongSilentPortsInListOrder) {
    const std::vector<bool> meters = {false, true, true, false, true, true};
    std::vector<std::unique_ptr<MeterSimProcess>> sims;
    for (const bool meter : meters) {
        sims.push_back(std::make_unique<MeterSimProcess>(
            meter ? std::vector<std::string>{} : std::vector<std::string>{"--silent"}));
        ASSERT_TRUE(sims.back()->Started());
    }
    const ExtraPortsOnly ports(Devices(sims));
    ASSERT_TRUE(ports.Ok());

    RecordingLayer layer;
    const auto start = std::chrono::steady_clock::now();
    const std::vector<PortProbe> probes = ProbePorts(layer, ports.Lister(), ProbeScope::EveryPort);
    const auto took = std::chrono::steady_clock::now() - start;

    std::vector<std::wstring> names;
    ASSERT_EQ(probes.size(), sims.size());
    for (std::size_t i = 0; i < sims.size(); ++i) {
        names.push_back(sims[i]->PortName());
        EXPECT_EQ(probes[i].port, names[i]);
        EXPECT_EQ(probes[i].outcome, meters[i] ? PortOutcome::Answered : PortOutcome::NoAnswer)
            << i;
    }
    EXPECT_THAT(layer.Opened(), UnorderedElementsAreArray(names));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
}

// Another program's port is refused with its reason while the meters beside it are found.
TEST(ProbeEveryPortOnPtys, APortAnotherProgramHoldsIsToldWhileTheOthersAreFound) {
    std::vector<std::unique_ptr<MeterSimProcess>> sims;
    for (int i = 0; i < 3; ++i) {
        sims.push_back(std::make_unique<MeterSimProcess>());
        ASSERT_TRUE(sims.back()->Started());
    }
    const HolderProcess holder(sims[1]->DevicePath(), HolderProcess::Hold::Exclusive);
    ASSERT_TRUE(holder.Ok());
    const ExtraPortsOnly ports(Devices(sims));
    ASSERT_TRUE(ports.Ok());

    RecordingLayer layer;
    const std::vector<PortProbe> probes = ProbePorts(layer, ports.Lister(), ProbeScope::EveryPort);

    ASSERT_EQ(probes.size(), 3u);
    EXPECT_EQ(probes[0].outcome, PortOutcome::Answered);
    EXPECT_EQ(probes[1].outcome, PortOutcome::Busy);
    EXPECT_EQ(probes[2].outcome, PortOutcome::Answered);
    ASSERT_TRUE(sims[2]->WaitForLines("REPLY probe", 1));
    EXPECT_THAT(sims[1]->Frames(), IsEmpty()) << "a probe reached a port another program holds";
}

// Ctrl-C while every probe of `find --all` waits for its answer: the run ends the normal way,
// each line as it was found (settings, exclusive mode) and no lock file left.
TEST(ProbeEveryPortOnPtys, AnInterruptLeavesEveryLineAsFound) {
    if (!MachineListsNoPort()) {
        GTEST_SKIP() << "this machine lists serial ports of its own: dravik-cli would probe them";
    }
    std::vector<std::unique_ptr<PtyPair>> ptys;
    std::vector<LineSnapshot> before;
    std::string extra;
    for (int i = 0; i < 3; ++i) {
        ptys.push_back(std::make_unique<PtyPair>());
        ASSERT_TRUE(ptys.back()->Ok());
        MakeCooked(ptys.back()->Slave());
        before.push_back(SnapshotLine(ptys.back()->Master(), ptys.back()->Slave()));
        extra += ptys.back()->SlavePath() + ":";
    }
    const auto lockOf = [](const PtyPair& pty) {
        return std::string(kSystemLockDir) + "/" + UucpLockName(pty.SlavePath());
    };
    const bool locking = ::access(kSystemLockDir, W_OK) == 0;
    const ScopedEnv env("DRAVIK_EXTRA_PORTS", extra.c_str());

    const int cli = StartProgram("dravik-cli", {"find", "--all"});
    ASSERT_GT(cli, 0);
    for (const auto& pty : ptys) {
        ASSERT_EQ(pty->Receive(kFrameSize).size(), kFrameSize) << "not every port is probed";
        EXPECT_TRUE(!locking || fs::exists(lockOf(*pty))) << "probed without its lock file";
    }
    ::kill(cli, SIGINT);
    const int status = WaitForProgram(cli);

    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
    for (std::size_t i = 0; i < ptys.size(); ++i) {
        SCOPED_TRACE(ptys[i]->SlavePath());
        ExpectSameLine(before[i], SnapshotLine(ptys[i]->Master(), ptys[i]->Slave()));
        EXPECT_FALSE(fs::exists(lockOf(*ptys[i])));
    }
}

}  // namespace
