#pragma once

// The 40-byte frames exchanged with the optical power meter. Pure logic, no I/O.

#include <array>
#include <cstdint>
#include <optional>
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

// `text` is the operator's level in dB, read the way the Windows runtime's _wtof reads it
// (leading number only; no number at all means 0 dB). The frame carries 10^(dB/10) as a
// little-endian IEEE-754 single.
Frame BuildSetCorrectionFrame(const std::wstring& text, std::uint8_t channel);

// True when exactly 40 bytes arrived and bytes 15..18 spell "BOOT" (upper case).
bool IsProbeReply(const std::uint8_t* buffer, std::uint32_t count);

// The value BuildSetCorrectionFrame reads from `text`; exposed so the dialog can show the
// operator what was actually sent.
double ReadDecibels(const std::wstring& text);

// The same reading, for callers that must not send a level silently cut short: the value only
// when `text`, apart from leading and trailing blanks, is exactly one number ("2.5", " -3e1 ");
// nullopt for no number at all ("", "abc") or trailing text ("2.5x", "2.5 dB").
std::optional<double> ReadWholeDecibels(const std::wstring& text);

// 10^(dB/10) rounded to single precision as the frame carries it.
float CorrectionFactor(double decibels);
