// The window on the real serial layer, with the simulated meter on a pseudo-terminal that the
// port list offers through DRAVIK_EXTRA_PORTS. Only the sim's pty is ever listed: the
// machine's own serial ports stay untouched.

#include <grp.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <array>
#include <cstdio>
#include <string>

#include "enum_ports_linux.h"
#include "qtview_support.h"
#include "sim_process.h"

namespace {

using Bytes = FakeSerialLayer::Bytes;

// Sets DRAVIK_EXTRA_PORTS for one test.
class ExtraPorts {
  public:
    explicit ExtraPorts(const std::string& paths) { qputenv("DRAVIK_EXTRA_PORTS", paths.c_str()); }
    ~ExtraPorts() { qunsetenv("DRAVIK_EXTRA_PORTS"); }
    ExtraPorts(const ExtraPorts&) = delete;
    ExtraPorts& operator=(const ExtraPorts&) = delete;
};

class SetOnPty : public ::testing::Test {
  protected:
    SetOnPty() : view(PlatformSerialLayer(), AppendExtraPorts) {}

    std::string LinkPath() const { return (dir.path() + QStringLiteral("/meter")).toStdString(); }

    QTemporaryDir dir;
    CDravikView view;
};

TEST_F(SetOnPty, SendsTheClickedChannelThenTheNextClickWithoutAProbe) {
    MeterSimProcess sim({}, LinkPath());
    ASSERT_TRUE(sim.Started());
    ExtraPorts extra(LinkPath());
    ShowAndWait(view);
    Edit(view, 0)->setText(QStringLiteral(""));
    Edit(view, 1)->setText(QStringLiteral("-3"));
    Edit(view, 2)->setText(QStringLiteral("0.5"));
    Edit(view, 3)->setText(QStringLiteral("10"));
    ModalCatcher catcher;

    SetButton(view, 2)->click();
    ASSERT_TRUE(sim.WaitForFrames(2));
    auto frames = sim.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].rfind("FRAME probe", 0), 0u) << frames[0];
    EXPECT_EQ(LoggedHex(frames[1]), SimLogHex(SetFrame(2, {0x4D, 0x9E, 0x8F, 0x3F}))) << frames[1];
    EXPECT_EQ(view.StatusText(), QStringLiteral("1490CW 设置成功 0.5 dB → 1.122"));

    SetButton(view, 0)->click();
    ASSERT_TRUE(sim.WaitForFrames(3));
    frames = sim.Frames();
    ASSERT_EQ(frames.size(), 3u) << "the second SET probed again";
    EXPECT_EQ(LoggedHex(frames[2]), SimLogHex(SetFrame(0, {0x00, 0x00, 0x80, 0x3F}))) << frames[2];
    EXPECT_EQ(view.StatusText(), QStringLiteral("1310CW 设置成功 0 dB → 1"));
    EXPECT_TRUE(catcher.Seen().empty());
}

TEST_F(SetOnPty, SilentMeterIsShownAsNoAnswer) {
    MeterSimProcess sim({"--no-ack"}, LinkPath());
    ASSERT_TRUE(sim.Started());
    ExtraPorts extra(LinkPath());
    ShowAndWait(view);
    Edit(view, 3)->setText(QStringLiteral("-1.5"));
    SetButton(view, 3)->click();
    ASSERT_TRUE(sim.WaitForFrames(2));
    EXPECT_EQ(view.StatusText(), QStringLiteral("1550CW 待测表无应答 -1.5 dB → 0.70795"));
}

TEST_F(SetOnPty, UnpluggedMeterIsFoundAgainAfterReplugging) {
    MeterSimProcess sim({}, LinkPath());
    ASSERT_TRUE(sim.Started());
    ExtraPorts extra(LinkPath());
    ShowAndWait(view);
    Edit(view, 1)->setText(QStringLiteral("1"));
    ModalCatcher catcher;

    SetButton(view, 1)->click();
    ASSERT_TRUE(sim.WaitForFrames(2));
    ASSERT_EQ(view.StatusText(), QStringLiteral("1310Burst 设置成功 1 dB → 1.2589"));

    // Pulled out between two SETs: the next SET notices the dead device, searches again and
    // says there is no meter, and the status line why.
    sim.Unplug();
    SetButton(view, 1)->click();
    ASSERT_EQ(catcher.Seen().size(), 1u);
    EXPECT_EQ(catcher.Seen()[0].text, QStringLiteral("没找到待测表串口！"));
    EXPECT_EQ(view.StatusText(), QStringLiteral("已探测 1 个串口：") +
                                     QString::fromStdString(LinkPath()) +
                                     QStringLiteral(" 不存在或已拔出"));

    ASSERT_TRUE(sim.Restart());
    SetButton(view, 1)->click();
    ASSERT_TRUE(sim.WaitForFrames(2));
    const auto frames = sim.Frames();
    EXPECT_EQ(frames[0].rfind("FRAME probe", 0), 0u) << "replugged meter was not searched for";
    EXPECT_EQ(LoggedHex(frames[1]), SimLogHex(SetFrame(1, {0x78, 0x24, 0xA1, 0x3F}))) << frames[1];
    EXPECT_EQ(view.StatusText(), QStringLiteral("1310Burst 设置成功 1 dB → 1.2589"));
}

TEST_F(SetOnPty, MeterUnpluggedDuringASetIsShownAsNoAnswerThenFoundAgain) {
    // The sim vanishes when the third frame (the second SET's) arrives, without answering it.
    MeterSimProcess sim({"--unplug-after", "3"}, LinkPath());
    ASSERT_TRUE(sim.Started());
    ExtraPorts extra(LinkPath());
    ShowAndWait(view);
    Edit(view, 0)->setText(QStringLiteral("1"));
    ModalCatcher catcher;

    SetButton(view, 0)->click();
    ASSERT_EQ(view.StatusText(), QStringLiteral("1310CW 设置成功 1 dB → 1.2589"));
    SetButton(view, 0)->click();
    ASSERT_TRUE(sim.WaitForExit());
    EXPECT_EQ(view.StatusText(), QStringLiteral("1310CW 待测表无应答 1 dB → 1.2589"));
    EXPECT_TRUE(catcher.Seen().empty()) << "a failed send is shown in the status line only";

    ASSERT_TRUE(sim.Restart());
    SetButton(view, 0)->click();
    ASSERT_TRUE(sim.WaitForFrames(2));
    EXPECT_EQ(sim.Frames()[0].rfind("FRAME probe", 0), 0u) << "the meter was not searched for";
    EXPECT_EQ(view.StatusText(), QStringLiteral("1310CW 设置成功 1 dB → 1.2589"));
}

// The real program's dialog (dravik-demo drives it) run as nobody by setpriv, on a pty whose node
// belongs to dialout, as a serial port's does: the search says why it found nothing. Nobody runs
// a copy outside the build tree, which may lie where only its owner can enter.
TEST(SearchAsNobody, APortThisUserMayNotOpenIsReportedSo) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can run the search as another user";
    const group* dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ASSERT_EQ(chown(pty.SlavePath().c_str(), static_cast<uid_t>(-1), dialout->gr_gid), 0);
    ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0660), 0);
    const SharedProgram demo("dravik-demo");
    ASSERT_FALSE(demo.Path().empty()) << "no copy of dravik-demo under /tmp";
    const std::string command =
        "setpriv --reuid=nobody --regid=nogroup --clear-groups env QT_QPA_PLATFORM=offscreen "
        "HOME=/tmp '" +
        demo.Path() + "' --port " + pty.SlavePath() + " 2>/dev/null";
    FILE* run = popen(command.c_str(), "r");
    ASSERT_NE(run, nullptr);
    std::string output;
    std::array<char, 512> chunk{};
    while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), run) != nullptr)
        output += chunk.data();
    const int status = pclose(run);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "no meter: " << status;
    EXPECT_NE(output.find("STATUS 已探测 1 个串口：" + pty.SlavePath() +
                          " 无权限（需加入 dialout 组）\n"),
              std::string::npos)
        << output;
}

}  // namespace
