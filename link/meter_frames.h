#pragma once

// The 40-byte frames exchanged with the optical power meter. Pure logic, no I/O.

#include <array>
#include <cstdint>
#include <string>

// Every frame on the line, either way, is this long: no length field, checksum or terminator.
inline constexpr std::uint32_t kFrameSize = 40;
using Frame = std::array<std::uint8_t, kFrameSize>;

// Byte offsets and values inside a frame.
inline constexpr std::uint8_t kFrameStart = 0xAA;
inline constexpr std::uint8_t kProbeCommand = 0x30;
inline constexpr std::uint8_t kSetCorrectionCommand = 0x04;
inline constexpr std::size_t kChannelOffset = 2;
inline constexpr std::size_t kFactorOffset = 5;
inline constexpr std::size_t kSignatureOffset = 15;

Frame BuildProbeFrame();

// One channel's correction as the operator typed it, read once: the level, the factor the meter
// gets and the frame that carries it. Whatever shows or records a SET takes this value, so what
// it shows is by construction what was sent.
struct Correction {
    std::wstring text;  // as typed
    std::uint8_t channel = 0;
    // The text's leading number, read the way the Windows runtime's _wtof reads it; 0 when the
    // text holds no number.
    double decibels = 0;
    // The text is exactly that number, blanks around it aside ("2.5", " -3e1 "; not "", "abc",
    // "2.5x" or "2.5 dB"): for callers that must not send a level silently cut short.
    bool wholeNumber = false;
    // 10^(dB/10) rounded to single precision, as the frame carries it (little-endian IEEE-754).
    float factor = 1;
    Frame frame{};
};

Correction ReadCorrection(const std::wstring& text, std::uint8_t channel);

// ReadCorrection(text, channel).frame.
Frame BuildSetCorrectionFrame(const std::wstring& text, std::uint8_t channel);

// True when exactly 40 bytes arrived and bytes 15..18 spell "BOOT" (upper case).
bool IsProbeReply(const std::uint8_t* buffer, std::uint32_t count);

// 10^(dB/10) rounded to single precision as the frame carries it.
float CorrectionFactor(double decibels);
