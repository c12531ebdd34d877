#include "meter_frames.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

// Unicode's White_Space characters. The Windows runtime's wide-character classification, by
// which the level is read, counts every one of them as a blank before a number, and a level
// typed with a Chinese input method in full-width mode starts with U+3000.
bool IsBlank(wchar_t c) {
    const auto code = static_cast<std::uint32_t>(c);
    return (code >= 0x09 && code <= 0x0D) || code == 0x20 || code == 0x85 || code == 0xA0 ||
           code == 0x1680 || (code >= 0x2000 && code <= 0x200A) || code == 0x2028 ||
           code == 0x2029 || code == 0x202F || code == 0x205F || code == 0x3000;
}

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Exponents are saturated far beyond the double range instead of being allowed to wrap, so
// "1e99999999999999999999" stays an overflow and "1e-99999999999999999999" an underflow.
constexpr long long kExponentLimit = 1LL << 40;

long long ClampAdd(long long a, long long b) {
    const long long sum = a + b;
    if (sum > kExponentLimit) return kExponentLimit;
    if (sum < -kExponentLimit) return -kExponentLimit;
    return sum;
}

// The leading number of a level text, and where it ends.
struct DecibelScan {
    double value = 0.0;
    bool number = false;  // false: the text holds no number, and the value is 0
    std::size_t end = 0;  // index just past the number
};

DecibelScan ScanDecibels(const std::wstring& text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && IsBlank(text[i]))
        ++i;

    bool negative = false;
    if (i < n && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }

    // The matched characters are rebuilt as plain ASCII for from_chars, which knows no locale
    // and rounds correctly. Leading zeros are dropped so a long run of them costs nothing.
    std::string ascii;
    bool sawDigit = false;
    bool sawSignificant = false;
    long long integerDigits = 0;
    while (i < n && IsDigit(text[i])) {
        sawDigit = true;
        if (sawSignificant || text[i] != L'0') {
            sawSignificant = true;
            ascii.push_back(static_cast<char>(text[i]));
            ++integerDigits;
        }
        ++i;
    }
    long long fractionZeros = 0;
    if (i < n && text[i] == L'.') {
        std::size_t j = i + 1;
        bool fractionDigit = false;
        std::string fraction;
        while (j < n && IsDigit(text[j])) {
            fractionDigit = true;
            if (!sawSignificant && fraction.empty() && text[j] == L'0') {
                ++fractionZeros;
            } else {
                fraction.push_back(static_cast<char>(text[j]));
            }
            ++j;
        }
        if (sawDigit || fractionDigit) {
            sawDigit = true;
            i = j;
            if (!fraction.empty()) {
                if (!sawSignificant) ascii.push_back('0');
                ascii.push_back('.');
                ascii += fraction;
                sawSignificant = true;
            }
        }
    }
    if (!sawDigit) return {};

    long long exponent = 0;
    if (i < n && (text[i] == L'e' || text[i] == L'E' || text[i] == L'd' || text[i] == L'D')) {
        std::size_t j = i + 1;
        bool expNegative = false;
        if (j < n && (text[j] == L'+' || text[j] == L'-')) {
            expNegative = text[j] == L'-';
            ++j;
        }
        if (j < n && IsDigit(text[j])) {
            while (j < n && IsDigit(text[j])) {
                if (exponent < kExponentLimit) exponent = exponent * 10 + (text[j] - L'0');
                ++j;
            }
            if (expNegative) exponent = -exponent;
            i = j;
        }
    }
    if (!sawSignificant) return {negative ? -0.0 : 0.0, true, i};

    // A fraction-only number had its leading zeros removed: shift the exponent to match.
    exponent = ClampAdd(exponent, -fractionZeros);
    // Decimal exponent of the first significant digit: tells overflow from underflow when
    // from_chars reports a value outside the double range.
    const long long leadExponent = ClampAdd(exponent, integerDigits > 0 ? integerDigits - 1 : -1);
    ascii.push_back('e');
    ascii += std::to_string(exponent);

    double value = 0.0;
    const auto [end, ec] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
        value = leadExponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return {negative ? -value : value, true, i};
}

}  // namespace

float CorrectionFactor(double decibels) {
    const double factor = std::pow(10.0, decibels / 10.0);
    // Round to nearest, ties to even, without ever casting an out-of-range double (undefined
    // behaviour). Everything from FLT_MAX + half an ulp upwards rounds to infinity; everything
    // at or below half the smallest subnormal rounds to zero.
    constexpr double kOverflow = 0x1p128 - 0x1p103;
    constexpr double kUnderflow = 0x1p-150;
    if (factor >= kOverflow) return std::numeric_limits<float>::infinity();
    if (factor > static_cast<double>(std::numeric_limits<float>::max())) {
        return std::numeric_limits<float>::max();
    }
    if (factor <= kUnderflow) return 0.0f;
    return static_cast<float>(factor);
}

Frame BuildProbeFrame() {
    Frame frame{};
    frame[0] = kFrameStart;
    frame[1] = kProbeCommand;
    return frame;
}

Correction ReadCorrection(const std::wstring& text, std::uint8_t channel) {
    const DecibelScan scan = ScanDecibels(text);
    Correction correction;
    correction.text = text;
    correction.channel = channel;
    correction.decibels = scan.value;
    correction.wholeNumber =
        scan.number &&
        std::all_of(text.begin() + static_cast<std::ptrdiff_t>(scan.end), text.end(), IsBlank);
    correction.factor = CorrectionFactor(scan.value);

    Frame& frame = correction.frame;
    frame[0] = kFrameStart;
    frame[1] = kSetCorrectionCommand;
    frame[kChannelOffset] = channel;
    const auto bits = std::bit_cast<std::uint32_t>(correction.factor);
    for (std::size_t k = 0; k < 4; ++k) {
        frame[kFactorOffset + k] = static_cast<std::uint8_t>(bits >> (8 * k));
    }
    return correction;
}

Frame BuildSetCorrectionFrame(const std::wstring& text, std::uint8_t channel) {
    return ReadCorrection(text, channel).frame;
}

bool IsProbeReply(const std::uint8_t* buffer, std::uint32_t count) {
    if (buffer == nullptr || count != kFrameSize) return false;
    return buffer[kSignatureOffset] == 'B' && buffer[kSignatureOffset + 1] == 'O' &&
           buffer[kSignatureOffset + 2] == 'O' && buffer[kSignatureOffset + 3] == 'T';
}
