// The operator's outcome line: the level as it was read and the factor as it was sent, written
// the same whatever locale the process runs under.

#include <gtest/gtest.h>

#include <string>

#include "operator_text.h"

namespace {

TEST(Outcome, ShowsTheLevelAsReadAndTheFactorSent) {
    struct Case {
        int channel;
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
        EXPECT_EQ(FormatOutcome(c.channel, c.answered, c.text), c.expected);
    }
}

}  // namespace
