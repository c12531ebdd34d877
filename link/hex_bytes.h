#pragma once

// Bytes on the line as text, two hex digits a byte: lower case and unspaced as the command
// line's records carry them ("aa0402..."), or upper case a space apart as the simulated meter
// logs them ("AA 04 02 ...").

#include <cstdint>
#include <span>
#include <string>

enum class HexStyle { Compact, Spaced };
std::string HexBytes(std::span<const std::uint8_t> bytes, HexStyle style = HexStyle::Compact);
