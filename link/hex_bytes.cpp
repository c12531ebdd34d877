#include "hex_bytes.h"

std::string HexBytes(std::span<const std::uint8_t> bytes, HexStyle style) {
    const char* digits = style == HexStyle::Compact ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string hex;
    for (const std::uint8_t byte : bytes) {
        if (style == HexStyle::Spaced && !hex.empty()) hex += ' ';
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0F];
    }
    return hex;
}
