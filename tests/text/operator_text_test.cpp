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

}  // namespace
