// CMeterPort on the real Linux serial layer: the port contract against the simulated meter on
// its pty, and what only a Linux tty shows: the raw line, exclusive mode, every byte value
// unchanged, a vanished device, the sim's answers judged, and the line as it is left at close.

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "port_contract.h"
#include "sim_process.h"
#include "test_support.h"

namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

PortBench LinuxBench() {
    const auto sim = std::make_shared<MeterSimProcess>();
    return {.owner = sim,
            .layer = &PlatformSerialLayer(),
            .meterPort = sim->PortName(),
            .missingPort = L"/dev/dravik-no-such-port",
            .ready = sim->Started()};
}

INSTANTIATE_TEST_SUITE_P(Linux, PortContract, ::testing::Values(&LinuxBench), BenchName);

// How the simulated meter logs the probe frame.
std::string ProbeLogLine() {
    std::string line = "FRAME probe hex=AA 30";
    for (int i = 0; i < 38; ++i)
        line += " 00";
    return line;
}

// A pty whose line starts cooked, and a CMeterPort opened on it.
class PtyPort : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok());
        MakeCooked(pty.Slave());
        ASSERT_NE(port.Open(pty.PortName()), kInvalidPort);
    }

    PtyPair pty;
    CMeterPort port;
};

TEST(LinuxOpen, NonTerminalDevicesAreRefused) {
    char file[] = "/tmp/dravik-not-a-tty-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    for (const std::string& path : std::vector<std::string>{"", "/dev/null", "/tmp", file}) {
        CMeterPort port;
        EXPECT_EQ(port.Open(WidePath(path)), kInvalidPort) << path;
        EXPECT_EQ(port.m_hComm, kInvalidPort) << path;
    }
    unlink(file);
}

TEST_F(PtyPort, OpenAppliesRawLineSettingsAndKeepsStopBitsAndFlowControl) {
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.Slave(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | IXANY | ISTRIP), 0u);
    EXPECT_EQ(tio.c_iflag & (IGNPAR | INPCK | PARMRK), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    // Settings the meter does not dictate stay as the line had them (a pty keeps no parity).
    EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB | CRTSCTS));
}

TEST_F(PtyPort, TheTtyIsInExclusiveModeUntilClosed) {
    int exclusive = 0;
    ASSERT_EQ(ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    port.Close();
    // Exclusive mode is the tty's, not the descriptor's: it must not outlive the port.
    ASSERT_EQ(ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

TEST_F(PtyPort, EveryByteValuePassesUnchangedInBothDirections) {
    // Flow control, line ends, the end-of-file character the port is set up with, and the
    // characters a cooked line would act on (interrupt, quit, erase, kill, end of file).
    Bytes bytes = {0x11, 0x13, 0x0D, 0x0A, 0xA4, 0x00, 0xFF, 0x03, 0x1C, 0x7F, 0x15, 0x04, 0x1A};
    for (int b = 0; b < 256; ++b)
        bytes.push_back(static_cast<std::uint8_t>(b));
    const auto length = static_cast<std::uint32_t>(bytes.size());

    EXPECT_EQ(port.Write(bytes.data(), length), length);
    EXPECT_EQ(pty.Receive(bytes.size()), bytes) << "tool to meter";

    ASSERT_TRUE(pty.Send(bytes));
    ASSERT_TRUE(pty.WaitQueued(bytes.size())) << "meter to tool: " << pty.Queued() << " queued";
    Bytes received(bytes.size());
    EXPECT_EQ(port.Read(length, received.data()), length);
    EXPECT_EQ(received, bytes) << "meter to tool";
}

TEST_F(PtyPort, AVanishedDeviceFailsEveryOperationQuietly) {
    pty.CloseMaster();
    const Frame frame = BuildProbeFrame();
    EXPECT_EQ(port.Write(frame.data(), 40), 0u);
    Bytes buffer(40);
    EXPECT_EQ(port.Read(40, buffer.data()), 0u);
    port.DrainInput();
    CommStatus status;
    EXPECT_FALSE(port.Layer().ClearCommError(port.m_hComm, status));
    port.Close();
    EXPECT_EQ(port.m_hComm, kInvalidPort);
}

TEST(LinuxMeterSim, ProbeAnswersAreReadAndJudged) {
    struct Case {
        std::vector<std::string> options;
        std::uint32_t answerSize;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {{}, 40, true},
        {{"--short-answer"}, 39, false},
        {{"--wrong-signature"}, 40, false},
        {{"--garbage"}, 40, false},
    };
    for (const Case& c : cases) {
        const std::string name = c.options.empty() ? "plain" : c.options.front();
        MeterSimProcess sim(c.options);
        ASSERT_TRUE(sim.Started()) << name;
        CMeterPort port;
        ASSERT_NE(port.Open(sim.PortName()), kInvalidPort) << name;
        const Frame probe = BuildProbeFrame();
        EXPECT_EQ(port.Write(probe.data(), 40), 40u) << name;
        ASSERT_TRUE(sim.WaitForLines("REPLY probe", 1)) << name;
        EXPECT_THAT(sim.Frames(), ElementsAre(ProbeLogLine())) << name;
        ASSERT_TRUE(WaitQueued(port, c.answerSize)) << name;
        Bytes answer(40);
        const std::uint32_t read = port.Read(40, answer.data());
        EXPECT_EQ(read, c.answerSize) << name;
        EXPECT_EQ(IsProbeReply(answer.data(), read), c.accepted) << name;
    }
}

// A parent that dies the moment the sim has printed PORT takes the sim with it: a pipe only
// the sim holds open then reaches its end. Ten rounds, as the moment is a race.
TEST(LinuxMeterSim, EndsWithItsParent) {
    const std::string sim = BinDir() + "/meter-sim";
    for (int round = 0; round < 10; ++round) {
        int out[2];
        int held[2];  // inherited by the sim alone
        ASSERT_TRUE(::pipe2(out, O_CLOEXEC) == 0 && ::pipe(held) == 0);
        const pid_t parent = ::fork();
        if (parent == 0 && ::fork() == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::execl(sim.c_str(), sim.c_str(), static_cast<char*>(nullptr));
        }
        char first = 0;
        if (parent == 0) ::_exit(::read(out[0], &first, 1) == 1 ? 0 : 1);
        ::close(held[1]);
        int status = 0;
        ASSERT_EQ(::waitpid(parent, &status, 0), parent);
        EXPECT_EQ(status, 0) << "no PORT line";
        pollfd end{held[0], POLLIN, 0};
        EXPECT_EQ(::poll(&end, 1, 20'000), 1) << "the sim outlived its parent, round " << round;
        for (const int fd : {held[0], out[0], out[1]})
            ::close(fd);
    }
}

TEST(LinuxClose, TheLineIsLeftAsItWasFound) {
    for (const bool destroyed : {false, true}) {
        SCOPED_TRACE(destroyed ? "port destroyed" : "port closed");
        PtyPair pty;
        ASSERT_TRUE(pty.Ok());
        MakeCooked(pty.Slave());
        const LineSnapshot before = SnapshotLine(pty.Master(), pty.Slave());
        auto port = std::make_unique<CMeterPort>();
        ASSERT_NE(port->Open(pty.PortName()), kInvalidPort);
        const LineSnapshot opened = SnapshotLine(pty.Master(), pty.Slave());
        ASSERT_EQ(cfgetospeed(&opened.tio), static_cast<speed_t>(B19200));
        if (!destroyed) port->Close();
        port.reset();
        ExpectSameLine(before, SnapshotLine(pty.Master(), pty.Slave()));
    }
}

}  // namespace
