// dravik-cli's commands on the in-memory serial layer: what is refused before any port is
// touched, what `set` sends and prints, `find` and `ports`.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli_run.h"
#include "fake_meter.h"
#include "meter_frames.h"
#include "operator_text.h"
#include "utf8_text.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Bytes = FakeSerialLayer::Bytes;

// A station whose only listed port, COM7, holds a meter.
class Station : public ::testing::Test {
  protected:
    Station() { layer.AddPort(L"COM7", FakeMeter()); }

    CliRun Cli(const std::vector<std::string>& args) {
        const auto listed = [this](std::vector<PortInfo>& list) {
            list.insert(list.end(), ports.begin(), ports.end());
        };
        return RunCaptured(args, {layer, listed, {}, peek});
    }

    FakeSerialLayer layer;
    std::vector<PortInfo> ports = {{L"COM7", L"\\Device\\Serial6"}};
    PortPeek peek;
};

// Every refusal is exit 2 with one line on stderr naming the argument, and no port opened:
// all arguments are checked before discovery or the port.
TEST_F(Station, RefusedInputsOpenNothing) {
    const std::string directory = std::filesystem::temp_directory_path().string();
    struct Case {
        std::vector<std::string> args;
        std::string named;  // what the error line must name
    };
    const std::vector<Case> table = {
        {{"set", "1310CW="}, "“1310CW=”"},
        {{"set", "0=abc"}, "“0=abc”"},
        {{"set", "0=2.5x"}, "“0=2.5x”"},
        {{"set", "0=2.5 dB"}, "“0=2.5 dB”"},
        {{"set", "0=1e999"}, "“0=1e999”"},
        {{"set", "0=-1e999"}, "“0=-1e999”"},
        {{"set", "0=-460"}, "“0=-460”：dB 值或其校正系数超出范围"},
        {{"set", "1625CW=1"}, "“1625CW=1”"},
        {{"set", "4=1"}, "“4=1”"},
        {{"set", "=1"}, "“=1”"},
        {{"set", "0=1", "1310cw=2"}, "“1310cw=2”"},
        {{"set", "0=1", "1310CW"}, "“1310CW”"},
        {{"set", "0=\xFF"}, "“0=\uFFFD”"},
        {{"set", "--port", "COM\xFF", "0=1"}, "“COM\uFFFD”"},
        {{"set", "0=\x1b[2J"}, "“0=\\x1b[2J”"},
        {{"set", "--port", "", "0=1"}, "--port"},
        {{"set", "--log", directory, "0=1"}, "“" + directory + "”"},
        {{"set", "--log", "", "0=1"}, "--log"},
        {{"set", "--tag", "a b=1", "0=1"}, "“a b=1”"},
        {{"set", "--tag", "op", "0=1"}, "“op”"},
        {{"set", "--tag", "op=a;b", "0=1"}, "“op=a;b”"},
        {{"set", "--tag", "op=\u202Eil", "0=1"}, "“op=\\u202eil”"},
        {{"set", "--tag", "a=1;", "0=1"}, "（第 4 个字符 ; 不可用）"},
        {{"set", "--tag", "op=a\u200Bb", "0=1"}, "（第 5 个字符 U+200B 不可用）"},
        {{"set", "--log", "/dev/null", "0=1"}, "“/dev/null”：不是普通文件，不能作日志"},
        {{"set", "--tag", "op=1", "--tag", "op=2", "0=1"}, "“op=2”"},
        {{"set"}, "levels"},
        {{"set", "--bogus", "0=1"}, "--bogus"},
        {{"ports", "extra"}, "extra"},
        {{"find", "--port", "COM7"}, "--port"},
        {{"bogus"}, "bogus"},
        {{}, "ports、find 或 set"},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const CliRun run = Cli(c.args);
        EXPECT_EQ(run.status, kStatusInvalid);
        EXPECT_THAT(run.out, IsEmpty());
        EXPECT_THAT(run.err, HasSubstr(c.named));
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    EXPECT_THAT(layer.OpenLog(), IsEmpty());
}

// Labels in any case or numbers, levels with blanks around them (a full-width space from a
// Chinese input method too): in the order given, on one open port, each frame byte for byte the
// dialog's for the same text, each line the dialog's status line. A channel without an answer
// gives exit 1.
TEST_F(Station, SetSendsTheDialogsFramesInOrder) {
    // This meter answers a moment after the frame left, as a real one does, but not on channel 1.
    // (An answer inside the write would race the exchange's own reset of the reply status.)
    bool answerDue = false;
    FakeSerialLayer::PortScript meter = FakeMeter();
    const auto probe = meter.onWrite;
    meter.onWrite = [&answerDue, probe](FakeSerialLayer& fake, const std::wstring& port,
                                        const Bytes& written) {
        if (written[1] != kSetCorrectionCommand) return probe(fake, port, written);
        answerDue = written[kChannelOffset] != 1;
    };
    layer.onPause = [&](std::uint32_t ms) {
        if (ms != 5 || !answerDue) return;
        answerDue = false;
        layer.QueueInput(L"COM8", {0x06});
        layer.PushEvent(L"COM8", {kEvRxChar});
    };
    layer.AddPort(L"COM8", meter);
    const std::vector<std::pair<std::string, std::wstring>> levels = {
        {"1550cw=2.25", L"2.25"}, {"0=0.35", L"0.35"}, {"1310BURST=\u3000-1e1 ", L"\u3000-1e1 "}};
    const std::vector<std::uint8_t> channels = {3, 0, 1};
    std::vector<std::string> args = {"set", "--port", "COM8"};
    for (const auto& level : levels)
        args.push_back(level.first);

    const CliRun run = Cli(args);

    EXPECT_EQ(run.status, kStatusNotConfirmed);
    EXPECT_THAT(run.err, HasSubstr("“1310Burst”无应答"));
    EXPECT_THAT(layer.OpenLog(), ElementsAre(L"COM8")) << "--port: no search, probed on its open";
    std::vector<Bytes> frames;
    std::string lines;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const Frame frame = BuildSetCorrectionFrame(levels[i].second, channels[i]);
        frames.emplace_back(frame.begin(), frame.end());
        lines += Utf8FromWide(
            FormatOutcome(ReadCorrection(levels[i].second, channels[i]), channels[i] != 1));
        lines += '\n';
    }
    EXPECT_EQ(SetFrames(layer, L"COM8"), frames);
    EXPECT_EQ(run.out, lines);
    EXPECT_EQ(layer.Snapshot(L"COM8").opens, 1);
    EXPECT_FALSE(layer.Snapshot(L"COM8").open);
}

// The port and what refused it, as `find` would say it.
TEST_F(Station, SetReportsWhyAPortWillNotOpen) {
    FakeSerialLayer::PortScript broken;
    broken.failOpen = true;
    broken.openFailure = {OpenReason::Busy, {L"", 77, L"/run/lock/LCK..ttyS9", L"mallory"}};
    layer.AddPort(L"COM9", broken);
    const CliRun run = Cli({"set", "--port", "COM9", "0=1"});
    EXPECT_EQ(run.status, kStatusPortUnavailable);
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_EQ(run.err, "“COM9”：被进程 77 占用（锁文件 /run/lock/LCK..ttyS9，属主 mallory）\n");
}

TEST_F(Station, FindPrintsTheMeterOrEveryMeter) {
    ports = {{L"COM1", L""}, {L"COM7", L""}, {L"COM2", L""}, {L"COM8", L""}};
    layer.AddPort(L"COM1");
    layer.AddPort(L"COM2");
    layer.AddPort(L"COM8", FakeMeter());
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const std::vector<Case> table = {
        {{"find"}, "COM7\n"},
        {{"find", "--all"}, "COM7\nCOM8\n"},
        {{"find", "--all", "--json"},
         "{\"port\":\"COM7\",\"found\":true,\"reason\":\"\"}\n"
         "{\"port\":\"COM8\",\"found\":true,\"reason\":\"\"}\n"},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const CliRun run = Cli(c.args);
        EXPECT_EQ(run.status, kStatusConfirmed);
        EXPECT_EQ(run.out, c.out);
        EXPECT_THAT(run.err, IsEmpty());
    }

    // No meter: what became of each port tried, in the order tried, after the message.
    FakeSerialLayer::PortScript held;
    held.failOpen = true;
    held.openFailure = {OpenReason::Busy, {L"minicom", 42}};
    layer.AddPort(L"COM3", held);
    ports = {{L"COM1", L""}, {L"COM3", L""}, {L"COM2", L""}};
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"find"}, std::vector<std::string>{"find", "--all"},
          std::vector<std::string>{"set", "0=1"}}) {
        const CliRun run = Cli(args);
        EXPECT_EQ(run.status, kStatusNoMeter) << args.size();
        EXPECT_THAT(run.out, IsEmpty());
        EXPECT_EQ(run.err, Utf8FromWide(kMsgNoMeterPort) +
                               "\nCOM1 无应答\nCOM3 被 minicom (42) 占用\nCOM2 无应答\n");
    }
}

// Each port with what is known of it and whether it is busy or not permitted, as far as that
// shows without opening it. What comes from outside (a USB product string, a process name)
// reaches the terminal with its control characters spelt out, and JSON escapes them.
TEST_F(Station, PortsListsWithoutOpening) {
    ports.push_back({L"/dev/ttyUSB0", L"ftdi_sio 0403:6001 FT232R \u4E32\u53E3"});
    ports.push_back({L"/dev/ttyUSB1", L"cp210x"});
    ports.push_back({L"/dev/ttyUSB2", L"ch341 \x1b]0;root\x07\x9b\u202Eabc"});
    peek = [](const std::wstring& port) {
        if (port == L"/dev/ttyUSB0") return OpenStatus{OpenReason::PermissionDenied, {}};
        if (port == L"/dev/ttyUSB1") return OpenStatus{OpenReason::Busy, {L"minicom", 1234}};
        if (port == L"/dev/ttyUSB2") return OpenStatus{OpenReason::Busy, {L"<h1>\x1b[2J", 5}};
        return OpenStatus{};
    };
    EXPECT_EQ(Cli({"ports"}).out,
              "COM7\t\\Device\\Serial6\t未见占用\n"
              "/dev/ttyUSB0\tftdi_sio 0403:6001 FT232R 串口\t无权限（需加入 dialout 组）\n"
              "/dev/ttyUSB1\tcp210x\t被 minicom (1234) 占用\n"
              "/dev/ttyUSB2\tch341 \\x1b]0;root\\x07\\x9b\\u202eabc\t被 <h1>\\x1b[2J (5) 占用\n");
    EXPECT_EQ(Cli({"ports", "--json"}).out,
              "{\"port\":\"COM7\",\"description\":\"\\\\Device\\\\Serial6\",\"state\":\"未见占用\","
              "\"by_path\":[],\"by_id\":[]}\n"
              "{\"port\":\"/dev/ttyUSB0\",\"description\":\"ftdi_sio 0403:6001 FT232R 串口\","
              "\"state\":\"无权限（需加入 dialout 组）\",\"by_path\":[],\"by_id\":[]}\n"
              "{\"port\":\"/dev/ttyUSB1\",\"description\":\"cp210x\","
              "\"state\":\"被 minicom (1234) 占用\",\"by_path\":[],\"by_id\":[]}\n"
              "{\"port\":\"/dev/ttyUSB2\",\"description\":\"ch341 "
              "\\u001b]0;root\\u0007\\u009b\\u202eabc\","
              "\"state\":\"被 <h1>\\\\x1b[2J (5) 占用\",\"by_path\":[],\"by_id\":[]}\n");
    EXPECT_THAT(layer.OpenLog(), IsEmpty());
}

// A stdout that takes nothing more (a full disk, a closed pipe): the run says so and stops.
TEST_F(Station, AnOutputThatFailsStopsTheRun) {
    std::ostringstream out;
    out.setstate(std::ios::badbit);
    std::ostringstream err;
    const int status = RunCli({"set", "--port", "COM7", "0=1", "1=1"},
                              {layer, [](std::vector<PortInfo>&) {}}, out, err);
    EXPECT_EQ(status, kStatusNotConfirmed);
    EXPECT_THAT(err.str(), HasSubstr("标准输出"));
    EXPECT_EQ(SetFrames(layer, L"COM7").size(), 1u);
}

}  // namespace
