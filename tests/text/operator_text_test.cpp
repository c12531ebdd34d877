// The operator's outcome line: the level as it was read and the factor as it was sent, written
// the same whatever locale the process runs under; the line that says why a search found no
// meter.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "operator_text.h"

namespace {

TEST(Outcome, ShowsTheLevelAsReadAndTheFactorSent) {
    struct Case {
        std::uint8_t channel;
        bool answered;
        const wchar_t* text;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {0, true, L"2.5", L"1310CW 设置成功 2.5 dB → 1.7783"},
        {1, false, L"abc", L"1310Burst 待测表无应答 0 dB → 1"},
        {2, true, L" -3 ", L"1490CW 设置成功 -3 dB → 0.50119"},
        {3, true, L"400", L"1550CW 设置成功 400 dB → inf"},
        {3, true, L"-1e999", L"1550CW 设置成功 -inf dB → 0"},
        {0, true, L"1d1", L"1310CW 设置成功 10 dB → 10"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatOutcome(ReadCorrection(c.text, c.channel), c.answered), c.expected);
    }
}

TEST(SearchReport, SaysWhatBecameOfEachPortWhatCanBeMendedAtOnceFirst) {
    using O = PortOutcome;
    struct Case {
        std::vector<PortProbe> tried;
        const wchar_t* expected;
    };
    const std::vector<Case> cases = {
        {{}, L"没有可探测的串口"},
        {{{L"/dev/ttyUSB0", O::PermissionDenied, {}},
          {L"/dev/ttyUSB1", O::Busy, {L"minicom", 1234}},
          {L"/dev/ttyACM0", O::NoAnswer, {}}},
         L"已探测 3 个串口：/dev/ttyUSB0 无权限（需加入 dialout 组），"
         L"/dev/ttyUSB1 被 minicom (1234) 占用，/dev/ttyACM0 无应答"},
        {{{L"/dev/ttyACM0", O::NoAnswer, {}},
          {L"/dev/ttyUSB0", O::PermissionDenied, {}},
          {L"/dev/ttyUSB1", O::Busy, {L"minicom", 1234}}},
         L"已探测 3 个串口：/dev/ttyUSB0 无权限（需加入 dialout 组），"
         L"/dev/ttyUSB1 被 minicom (1234) 占用，/dev/ttyACM0 无应答"},
        {{{L"COM3", O::Gone, {}}, {L"COM1", O::WrongAnswer, {}}, {L"COM2", O::Busy, {}}},
         L"已探测 3 个串口：COM2 被其他程序占用，COM1 应答不符，COM3 不存在或已拔出"},
        {{{L"/dev/ttyS6", O::OpenFailed, {}},
          {L"/dev/ttyS4", O::Busy, {L"", 77}},
          {L"/dev/ttyS5", O::LineDiscipline, {}}},
         L"已探测 3 个串口：/dev/ttyS4 被进程 77 占用，/dev/ttyS5 被内核驱动占用，"
         L"/dev/ttyS6 无法打开"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatSearchReport(c.tried), c.expected);
    }
}

// Whatever comes from outside reaches a terminal or a view as the text it is: nothing in it
// moves the cursor, sets a title, clears the screen, starts a new line or turns the line round.
TEST(ShownText, SpellsOutEveryControlCharacter) {
    struct Case {
        std::wstring text;
        const wchar_t* shown;
        const wchar_t* json;  // the same text inside JSON that escaped only C0 already
    };
    const std::vector<Case> cases = {
        {L"FT232R USB UART", L"FT232R USB UART", L"FT232R USB UART"},
        {L"串口 \\Device\\Serial0 <h1>", L"串口 \\Device\\Serial0 <h1>",
         L"串口 \\Device\\Serial0 <h1>"},
        {L"\x1b[2J\x1b]0;root\x07", L"\\x1b[2J\\x1b]0;root\\x07",
         L"\\u001b[2J\\u001b]0;root\\u0007"},
        {L"a\tb\nc\rd", L"a\\x09b\\x0ac\\x0dd", L"a\\u0009b\\u000ac\\u000dd"},
        {std::wstring(L"nul\0end", 7), L"nul\\x00end", L"nul\\u0000end"},
        {L"del\x7f c1\x80\x9b\x9f nbsp\xa0", L"del\\x7f c1\\x80\\x9b\\x9f nbsp\xa0",
         L"del\\u007f c1\\u0080\\u009b\\u009f nbsp\xa0"},
        {L"\u202Egnp.exe\u202C \u2066x\u2069 \u200E\u200F\u061C",
         L"\\u202egnp.exe\\u202c \\u2066x\\u2069 \\u200e\\u200f\\u061c",
         L"\\u202egnp.exe\\u202c \\u2066x\\u2069 \\u200e\\u200f\\u061c"},
        {L"line\u2028para\u2029", L"line\\u2028para\\u2029", L"line\\u2028para\\u2029"},
        {L"\u2027\u202F\u2065\u206A", L"\u2027\u202F\u2065\u206A", L"\u2027\u202F\u2065\u206A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.shown));
        EXPECT_EQ(ShownText(c.text), c.shown);
        EXPECT_EQ(JsonEscapedControls(c.text), c.json);
    }
}

// Every refusal names what refused it, with what to do where the text can say it.
TEST(PortText, EachRefusalNamesItsCause) {
    using O = PortOutcome;
    const PortHolder lock{L"", 1234, L"/run/lock/LCK..ttyUSB0", L"alice"};
    const PortHolder planted{L"", 0, L"/run/lock/LCK..ttyS1", L"mallory\x1b[2J"};
    struct Case {
        PortProbe probe;
        const wchar_t* expected;
    };
    const std::vector<Case> cases = {
        {{L"/dev/ttyUSB0", O::Busy, lock},
         L"/dev/ttyUSB0 被进程 1234 占用（锁文件 /run/lock/LCK..ttyUSB0，属主 alice）"},
        {{L"/dev/ttyS1", O::Busy, planted},
         L"/dev/ttyS1 被锁文件 /run/lock/LCK..ttyS1 挡住（属主 "
         L"mallory\\x1b[2J，其中没有有效的进程号）"},
        {{L"/dev/ttyUSB1", O::Busy, {L"<h1>\x9b", 1617}}, L"/dev/ttyUSB1 被 <h1>\\x9b (1617) 占用"},
        {{L"/dev/ttyUSB2", O::PermissionDenied, {}, {L"uucp", AccessHint::JoinGroup}},
         L"/dev/ttyUSB2 无权限（需加入 uucp 组）"},
        {{L"/dev/ttyUSB2", O::PermissionDenied, {}, {L"dialout", AccessHint::LogInAgain}},
         L"/dev/ttyUSB2 无权限（已加入 dialout 组，需重新登录）"},
        {{L"/dev/ttyUSB2", O::PermissionDenied, {}, {L"root", AccessHint::AskAdmin}},
         L"/dev/ttyUSB2 无权限（root 组也无权读写此设备，请管理员检查设备权限）"},
        {{L"/dev/ttyS0", O::Console, {}}, L"/dev/ttyS0 是系统控制台，不予打开"},
        {{L"/dev/ttyUSB3", O::NoAnswer, {}, {}, true},
         L"/dev/ttyUSB3 无应答（占用检查超时，未查完）"},
        {{L"/dev/tty\x1b[1mUSB4", O::NoAnswer, {}}, L"/dev/tty\\x1b[1mUSB4 无应答"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatPortProbe(c.probe), c.expected);
    }
    EXPECT_EQ(FormatPortState({}), L"未见占用");
    EXPECT_EQ(FormatPortState({{}, true}), L"未见占用（占用检查超时，未查完）");
    EXPECT_EQ(FormatPortState({{OpenReason::Busy, lock}}),
              L"被进程 1234 占用（锁文件 /run/lock/LCK..ttyUSB0，属主 alice）");
    EXPECT_EQ(FormatOpenFailure(L"/dev/ttyS0\u202E", {OpenReason::Console, {}}),
              L"“/dev/ttyS0\\u202e”：是系统控制台，不予打开");
}

}  // namespace
