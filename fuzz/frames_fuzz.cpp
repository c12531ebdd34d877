// dB text to frame: any UTF-16 text and channel byte gives a well-formed 40-byte frame whose
// factor is exactly the one of the text's leading number read on its own.
//
// Input: first byte = channel, the rest = UTF-16LE code units of the operator's text.

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "meter_frames.h"

namespace {

// Unicode's White_Space property, from its table (PropList.txt).
bool IsWhiteSpace(wchar_t c) {
    static constexpr wchar_t kWhiteSpace[] = {
        0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680,
        0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
        0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    for (const wchar_t w : kWhiteSpace) {
        if (c == w) return true;
    }
    return false;
}

// The leading number of `text` by a table-driven recogniser (deliberately not the product's
// scanner), returned as ASCII with the exponent letter normalised to 'e'.
std::string LeadingNumber(const std::wstring& text) {
    enum State { kBlank, kSign, kInt, kDot, kFrac, kExp, kExpSign, kExpDigits, kEnd };
    std::string out;
    std::string pendingExp;  // exponent part not yet known to be complete
    State state = kBlank;
    bool mantissaDigits = false;
    for (const wchar_t c : text) {
        const bool digit = c >= L'0' && c <= L'9';
        const bool blank = IsWhiteSpace(c);
        const bool sign = c == L'+' || c == L'-';
        const bool exp = c == L'e' || c == L'E' || c == L'd' || c == L'D';
        State next = kEnd;
        switch (state) {
            case kBlank:
                next = blank ? kBlank : sign ? kSign : digit ? kInt : c == L'.' ? kDot : kEnd;
                break;
            case kSign:
                next = digit ? kInt : c == L'.' ? kDot : kEnd;
                break;
            case kInt:
                next = digit ? kInt : c == L'.' ? kFrac : exp ? kExp : kEnd;
                break;
            case kDot:
                next = digit ? kFrac : kEnd;
                break;
            case kFrac:
                next = digit ? kFrac : (exp && mantissaDigits) ? kExp : kEnd;
                break;
            case kExp:
                next = digit ? kExpDigits : sign ? kExpSign : kEnd;
                break;
            case kExpSign:
                next = digit ? kExpDigits : kEnd;
                break;
            case kExpDigits:
                next = digit ? kExpDigits : kEnd;
                break;
            case kEnd:
                break;
        }
        if (next == kEnd) break;
        if (digit && (next == kInt || next == kFrac)) mantissaDigits = true;
        if (next == kExp || next == kExpSign) {
            pendingExp.push_back(next == kExp ? 'e' : static_cast<char>(c));
        } else if (next == kExpDigits) {
            out += pendingExp;
            pendingExp.clear();
            out.push_back(static_cast<char>(c));
        } else if (next != kBlank) {
            out.push_back(static_cast<char>(c));
        }
        state = next;
    }
    return mantissaDigits ? out : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t channel = data[0];
    std::wstring text;
    for (std::size_t i = 1; i + 1 < size; i += 2) {
        text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }

    const Correction correction = ReadCorrection(text, channel);
    const Frame& frame = correction.frame;
    if (frame.size() != 40 || frame[0] != 0xAA || frame[1] != 0x04 || frame[2] != channel ||
        frame[3] != 0 || frame[4] != 0) {
        std::abort();
    }
    for (std::size_t i = 9; i < 40; ++i) {
        if (frame[i] != 0) std::abort();
    }

    const std::string number = LeadingNumber(text);
    const std::wstring numberText(number.begin(), number.end());
    if (BuildSetCorrectionFrame(numberText, channel) != frame) std::abort();

    // The value read agrees with the C library's correctly rounded strtod on the same number
    // (the "C" locale: '.' is the separator).
    const double expected = number.empty() ? 0.0 : std::strtod(number.c_str(), nullptr);
    const double actual = correction.decibels;
    if (std::memcmp(&expected, &actual, sizeof expected) != 0 &&
        !(expected == 0.0 && actual == 0.0)) {
        std::abort();
    }
    return 0;
}
