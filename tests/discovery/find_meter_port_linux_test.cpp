// The search on the real serial layer, over ptys with simulated meters. The ports come only
// from DRAVIK_EXTRA_PORTS: the sysfs root is an empty temp dir, so the machine's own serial
// ports are never listed, let alone opened.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "enum_ports_linux.h"
#include "holder_process.h"
#include "meter_port.h"
#include "port_discovery.h"
#include "recording_layer.h"
#include "scoped_env.h"
#include "scratch_dir.h"
#include "sim_process.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

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
    EXPECT_EQ(FoundPort(ProbePorts(L"", layer, ports.Lister())), meter.PortName());

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
    EXPECT_EQ(FoundPort(ProbePorts(L"", layer, ports.Lister())), free.PortName());

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
            ProbePorts(L"", layer, ports.Lister(), ProbeScope::UpToFirstAnswer);
        EXPECT_EQ(FoundPort(tried), free.PortName());

        ASSERT_EQ(tried.size(), 2u);
        EXPECT_EQ(tried[0].outcome, PortOutcome::Busy);
        ASSERT_TRUE(free.WaitForLines("REPLY probe", 1));
        EXPECT_THAT(held.Frames(), IsEmpty()) << "a probe reached a port another program holds";
    }
}

}  // namespace
