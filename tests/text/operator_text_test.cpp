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
        {L"FT232R 串口 \\Device\\Serial0 <h1>", L"FT232R 串口 \\Device\\Serial0 <h1>",
         L"FT232R 串口 \\Device\\Serial0 <h1>"},
        {L"\x1b[2J\x1b]0;root\x07", L"\\x1b[2J\\x1b]0;root\\x07",
         L"\\u001b[2J\\u001b]0;root\\u0007"},
        {std::wstring(L"a\tb\nc\r\0", 7), L"a\\x09b\\x0ac\\x0d\\x00",
         L"a\\u0009b\\u000ac\\u000d\\u0000"},
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

// A refusal names what refused it, each name from outside shown with its controls spelt out.
TEST(PortText, ARefusalNamesItsCause) {
    using O = PortOutcome;
    struct Case {
        PortProbe probe;
        const wchar_t* expected;
    };
    const std::vector<Case> cases = {
        {{L"/dev/ttyUSB0", O::Busy, {L"", 1234, L"/run/lock/LCK..ttyUSB0", L"alice"}},
         L"/dev/ttyUSB0 被进程 1234 占用（锁文件 /run/lock/LCK..ttyUSB0，属主 alice）"},
        {{L"/dev/ttyS1\x1b[1m", O::Busy, {L"", 0, L"/run/lock/LCK..ttyS1", L"mallory\x1b[2J"}},
         L"/dev/ttyS1\\x1b[1m 被锁文件 /run/lock/LCK..ttyS1 挡住（属主 "
         L"mallory\\x1b[2J，其中没有有效的进程号）"},
        // A stale lock this user may not remove, and the command that would, pasted as shown.
        {{L"/dev/ttyUSB0", O::Busy, {L"", 4321, L"/run/lock/LCK..ttyUSB0", L"bob", true}},
         L"/dev/ttyUSB0 被过期锁文件 /run/lock/LCK..ttyUSB0 挡住（属主 bob，其中的进程 4321 "
         L"已结束，本用户无权删除；请管理员清除：sudo rm /run/lock/LCK..ttyUSB0）"},
        {{L"/tmp/my port", O::Busy, {L"", 7, L"/run/lock/LCK..it's; rm", L"bob", true}},
         L"/tmp/my port 被过期锁文件 /run/lock/LCK..it's; rm 挡住（属主 bob，其中的进程 7 "
         L"已结束，本用户无权删除；请管理员清除：sudo rm '/run/lock/LCK..it'\\''s; rm'）"},
        {{L"/tmp/pty link", O::Busy, {L"", 0, L"", L"", false, L"/dev/pts/3\x1b's"}},
         L"/tmp/pty link 被已结束的程序留下的独占模式挡住（TIOCEXCL；请管理员清除：sudo python3 -c "
         L"'import fcntl,os,sys,termios; fcntl.ioctl(os.open(sys.argv[1], "
         L"os.O_RDWR|os.O_NOCTTY|os.O_NONBLOCK), termios.TIOCNXCL)' '/dev/pts/3\\x1b'\\''s'，"
         L"或关闭伪终端另一端的程序）"},
        {{L"/dev/ttyUSB2", O::PermissionDenied, {}, {L"uucp", AccessHint::LogInAgain}},
         L"/dev/ttyUSB2 无权限（已加入 uucp 组，需重新登录）"},
        {{L"/dev/ttyUSB3", O::NoAnswer, {}, {}, true},
         L"/dev/ttyUSB3 无应答（占用检查超时，未查完）"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatPortProbe(c.probe), c.expected);
    }
}

}  // namespace
