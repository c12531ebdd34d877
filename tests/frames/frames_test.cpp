#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "meter_frames.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

double Decibels(const std::wstring& text) {
    return ReadCorrection(text, 0).decibels;
}

std::array<std::uint8_t, 4> FactorBytes(const Frame& frame) {
    return {frame[5], frame[6], frame[7], frame[8]};
}

struct FactorCase {
    const wchar_t* text;
    std::array<std::uint8_t, 4> bytes;
};

class FactorEncoding : public ::testing::TestWithParam<FactorCase> {};

TEST_P(FactorEncoding, TextGivesFactorBytes) {
    const FactorCase& c = GetParam();
    EXPECT_THAT(FactorBytes(BuildSetCorrectionFrame(c.text, 0)), ElementsAreArray(c.bytes))
        << "text '" << std::string(c.text, c.text + std::wcslen(c.text)) << "'";
}

// The meter's documented values, then the reading rules of the runtime's _wtof.
INSTANTIATE_TEST_SUITE_P(WorkedValues, FactorEncoding,
                         ::testing::Values(FactorCase{L"", {0x00, 0x00, 0x80, 0x3F}},
                                           FactorCase{L"0", {0x00, 0x00, 0x80, 0x3F}},
                                           FactorCase{L"3", {0xC1, 0x64, 0xFF, 0x3F}},
                                           FactorCase{L"-3", {0xCE, 0x4D, 0x00, 0x3F}},
                                           FactorCase{L"10", {0x00, 0x00, 0x20, 0x41}},
                                           FactorCase{L"1e1", {0x00, 0x00, 0x20, 0x41}},
                                           FactorCase{L"0.5", {0x4D, 0x9E, 0x8F, 0x3F}},
                                           FactorCase{L".5", {0x4D, 0x9E, 0x8F, 0x3F}}));

INSTANTIATE_TEST_SUITE_P(
    ReadingRules, FactorEncoding,
    ::testing::Values(
        // Not a number at all: 0 dB, factor 1.
        FactorCase{L"abc", {0x00, 0x00, 0x80, 0x3F}}, FactorCase{L"-", {0x00, 0x00, 0x80, 0x3F}},
        FactorCase{L" \t", {0x00, 0x00, 0x80, 0x3F}}, FactorCase{L".", {0x00, 0x00, 0x80, 0x3F}},
        FactorCase{L"e5", {0x00, 0x00, 0x80, 0x3F}},
        // Forms other runtimes accept but _wtof does not read.
        FactorCase{L"0x10", {0x00, 0x00, 0x80, 0x3F}}, FactorCase{L"inf", {0x00, 0x00, 0x80, 0x3F}},
        FactorCase{L"nan", {0x00, 0x00, 0x80, 0x3F}},
        FactorCase{L"1,5", {0x78, 0x24, 0xA1, 0x3F}} /* reads 1: ',' is no separator */,
        // Blanks, sign, trailing text, the d/D exponent.
        FactorCase{L" \t\r\n\v\f10", {0x00, 0x00, 0x20, 0x41}},
        FactorCase{L"+10", {0x00, 0x00, 0x20, 0x41}}, FactorCase{L"10dB", {0x00, 0x00, 0x20, 0x41}},
        FactorCase{L"1d1", {0x00, 0x00, 0x20, 0x41}}, FactorCase{L"1D1", {0x00, 0x00, 0x20, 0x41}},
        FactorCase{L"1E+1", {0x00, 0x00, 0x20, 0x41}},
        FactorCase{L"100e-1", {0x00, 0x00, 0x20, 0x41}},
        FactorCase{L"5.", {0xC2, 0x62, 0x4A, 0x40}} /* 3.1622777 */,
        FactorCase{L"1e", {0x78, 0x24, 0xA1, 0x3F}} /* exponent without digits: reads 1 */,
        FactorCase{L"- 3", {0x00, 0x00, 0x80, 0x3F}} /* blank after the sign ends the number */,
        FactorCase{L"0000000000000000000010", {0x00, 0x00, 0x20, 0x41}},
        FactorCase{L"0.00000000000000000000", {0x00, 0x00, 0x80, 0x3F}},
        // Range limits of the single-precision factor.
        FactorCase{L"400", {0x00, 0x00, 0x80, 0x7F}},
        FactorCase{L"1e999", {0x00, 0x00, 0x80, 0x7F}},
        FactorCase{L"-500", {0x00, 0x00, 0x00, 0x00}},
        FactorCase{L"-1e999", {0x00, 0x00, 0x00, 0x00}},
        FactorCase{L"1e-999", {0x00, 0x00, 0x80, 0x3F}} /* underflows to 0 dB */,
        FactorCase{L"1e99999999999999999999999", {0x00, 0x00, 0x80, 0x7F}},
        FactorCase{L"0.000000000000000000001e99999999999999999999", {0x00, 0x00, 0x80, 0x7F}},
        FactorCase{L"-385.3", {0xC5, 0x22, 0x20, 0x00}} /* subnormal, kept */,
        FactorCase{L"-452", {0x00, 0x00, 0x00, 0x00}} /* below half the smallest subnormal */,
        FactorCase{L"-449", {0x01, 0x00, 0x00, 0x00}} /* smallest subnormal 1e-44.9 */,
        FactorCase{L"385.3", {0x03, 0xEB, 0x7E, 0x7F}} /* just under FLT_MAX: finite */,
        FactorCase{L"385.32", {0x00, 0x00, 0x80, 0x7F}} /* just over: infinity */));

TEST(ReadDecibels, LeadingNumberOnly) {
    EXPECT_DOUBLE_EQ(Decibels(L"2.5dB"), 2.5);
    EXPECT_DOUBLE_EQ(Decibels(L"-0.25 dB"), -0.25);
    EXPECT_DOUBLE_EQ(Decibels(L"12.5e-1x"), 1.25);
    EXPECT_DOUBLE_EQ(Decibels(L"3.0.1"), 3.0);
    EXPECT_DOUBLE_EQ(Decibels(L"7e+"), 7.0);
    EXPECT_DOUBLE_EQ(Decibels(std::wstring(L"4\0"
                                           L"5",
                                           3)),
                     4.0);
}

TEST(ReadDecibels, NonAsciiDigitsAndSeparatorsAreNotRead) {
    EXPECT_DOUBLE_EQ(Decibels(L"\uFF13"), 0.0);    // full-width 3
    EXPECT_DOUBLE_EQ(Decibels(L"\u0663"), 0.0);    // Arabic-Indic 3
    EXPECT_DOUBLE_EQ(Decibels(L"3\uFF0E5"), 3.0);  // full-width full stop
}

// A full-width input method types U+3000 before the digits; every character of Unicode's
// White_Space is a blank, and nothing else is.
TEST(ReadDecibels, EveryUnicodeBlankIsSkippedBeforeTheNumber) {
    for (const wchar_t blank :
         {L'\t', L'\n', L'\v', L'\f', L'\r', L' ', L'\u0085', L'\u00A0', L'\u1680', L'\u2000',
          L'\u200A', L'\u2028', L'\u2029', L'\u202F', L'\u205F', L'\u3000'}) {
        EXPECT_DOUBLE_EQ(Decibels(std::wstring(2, blank) + L"3"), 3.0)
            << "U+" << std::hex << static_cast<unsigned>(blank);
    }
    for (const wchar_t other : {L'\u200B', L'\u180E', L'\uFEFF', L'\u00AD', L'\u2060'}) {
        EXPECT_DOUBLE_EQ(Decibels(std::wstring(1, other) + L"3"), 0.0)
            << "U+" << std::hex << static_cast<unsigned>(other);
    }
}

// What a script may send: one number and blanks around it, nothing else.
TEST(ReadCorrection, WholeNumberOnlyForATextThatIsExactlyOneNumber) {
    const struct {
        const wchar_t* text;
        std::optional<double> value;
    } cases[] = {
        {L"2.5", 2.5},
        {L" -3e1\t", -30.0},
        {L"\u30000.35\u3000", 0.35},
        {L".5", 0.5},
        {L"5.", 5.0},
        {L"1d2", 100.0},
        {L"-0", -0.0},
        {L"1e999", HUGE_VAL},
        {L"", std::nullopt},
        {L"  ", std::nullopt},
        {L"abc", std::nullopt},
        {L"2.5x", std::nullopt},
        {L"2.5 dB", std::nullopt},
        {L"2e", std::nullopt},
        {L"+", std::nullopt},
        {L"1 2", std::nullopt},
        {L"\uFF13", std::nullopt},
    };
    for (const auto& c : cases) {
        const Correction read = ReadCorrection(c.text, 0);
        EXPECT_EQ(read.wholeNumber ? std::optional(read.decibels) : std::nullopt, c.value)
            << c.text;
    }
}

TEST(ReadDecibels, CorrectlyRoundedWhateverTheLength) {
    // 0.1 written with many digits still rounds to the same double as "0.1".
    EXPECT_EQ(Decibels(L"0.1000000000000000000000000000000001"), 0.1);
    std::wstring longText(100000, L'1');
    EXPECT_EQ(Decibels(longText), std::numeric_limits<double>::infinity());
    std::wstring tinyText = L"0." + std::wstring(400, L'0') + L"1";
    EXPECT_EQ(Decibels(tinyText), 0.0);
}

TEST(CorrectionFactor, RoundsToNearestEvenAtTheFloatLimits) {
    EXPECT_EQ(CorrectionFactor(std::numeric_limits<double>::infinity()),
              std::numeric_limits<float>::infinity());
    EXPECT_EQ(CorrectionFactor(-std::numeric_limits<double>::infinity()), 0.0f);
    // 10*log10 of doubles straddling the float overflow threshold 2^128 - 2^103.
    const double justBelowOverflow = 10.0 * std::log10(0x1p128 - 0x1p104);
    EXPECT_EQ(CorrectionFactor(justBelowOverflow), std::numeric_limits<float>::max());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(CorrectionFactor(10.0 * std::log10(0x1p-149))), 1u);
    EXPECT_EQ(CorrectionFactor(10.0 * std::log10(0x1p-151)), 0.0f);
}

TEST(ProbeFrame, IsStartByteProbeCommandAndZeros) {
    std::vector<std::uint8_t> expected(40, 0);
    expected[0] = 0xAA;
    expected[1] = 0x30;
    EXPECT_THAT(BuildProbeFrame(), ElementsAreArray(expected));
}

TEST(SetCorrectionFrame, CompleteFrameForChannel1Text3) {
    std::vector<std::uint8_t> expected(40, 0);
    const std::uint8_t head[] = {0xAA, 0x04, 0x01, 0x00, 0x00, 0xC1, 0x64, 0xFF, 0x3F};
    std::copy(std::begin(head), std::end(head), expected.begin());
    EXPECT_THAT(BuildSetCorrectionFrame(L"3", 1), ElementsAreArray(expected));
}

TEST(SetCorrectionFrame, ChannelLandsAtOffset2AndNothingOutsideTheHeaderIsSet) {
    const wchar_t* texts[] = {L"", L"3", L"-3", L"400", L"-500", L"12.75", L"junk"};
    for (std::uint8_t channel = 0; channel <= 3; ++channel) {
        for (const wchar_t* text : texts) {
            const Frame frame = BuildSetCorrectionFrame(text, channel);
            EXPECT_EQ(frame[0], 0xAA);
            EXPECT_EQ(frame[1], 0x04);
            EXPECT_EQ(frame[2], channel);
            EXPECT_EQ(frame[3], 0);
            EXPECT_EQ(frame[4], 0);
            EXPECT_TRUE(std::all_of(frame.begin() + 9, frame.end(), [](auto b) { return b == 0; }))
                << "channel " << int{channel};
            EXPECT_EQ(FactorBytes(frame), FactorBytes(BuildSetCorrectionFrame(text, 0)));
        }
    }
    // The channel byte is not range-checked: whatever the caller gives is sent.
    EXPECT_EQ(BuildSetCorrectionFrame(L"1", 200)[2], 200);
}

Frame ReplyWithSignature(std::uint8_t b, std::uint8_t o1, std::uint8_t o2, std::uint8_t t) {
    Frame reply{};
    reply.fill(0x5A);
    reply[15] = b;
    reply[16] = o1;
    reply[17] = o2;
    reply[18] = t;
    return reply;
}

TEST(ProbeReply, AcceptsExactly40BytesWithBootAt15) {
    const Frame good = ReplyWithSignature('B', 'O', 'O', 'T');
    EXPECT_TRUE(IsProbeReply(good.data(), 40));
    Frame zeros{};
    zeros[15] = 'B';
    zeros[16] = 'O';
    zeros[17] = 'O';
    zeros[18] = 'T';
    EXPECT_TRUE(IsProbeReply(zeros.data(), 40)) << "the other 36 bytes are not examined";
}

TEST(ProbeReply, RejectsShortCountsAndAnyDifferenceInTheSignature) {
    const Frame good = ReplyWithSignature('B', 'O', 'O', 'T');
    for (std::uint32_t count : {0u, 1u, 19u, 39u, 41u}) {
        EXPECT_FALSE(IsProbeReply(good.data(), count)) << count;
    }
    const Frame variants[] = {
        ReplyWithSignature('b', 'o', 'o', 't'), ReplyWithSignature('B', 'O', 'O', 't'),
        ReplyWithSignature('b', 'O', 'O', 'T'), ReplyWithSignature('B', '0', 'O', 'T'),
        ReplyWithSignature('B', 'O', 'O', 'X'), ReplyWithSignature(0, 0, 0, 0)};
    for (const Frame& reply : variants) {
        EXPECT_FALSE(IsProbeReply(reply.data(), 40));
    }
    Frame shifted{};
    std::copy_n("BOOT", 4, shifted.begin() + 16);
    EXPECT_FALSE(IsProbeReply(shifted.data(), 40)) << "signature one byte late";
    EXPECT_FALSE(IsProbeReply(nullptr, 40));
}

}  // namespace
