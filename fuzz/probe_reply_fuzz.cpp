// IsProbeReply on arbitrary buffers: accepts exactly the 40-byte answers carrying "BOOT" at
// offsets 15..18 and never reads outside the bytes it was given.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "meter_frames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A private copy of exactly `size` bytes, so AddressSanitizer catches any read past them.
    const std::vector<std::uint8_t> buffer(data, data + size);
    const auto count = static_cast<std::uint32_t>(size);
    const bool accepted = IsProbeReply(buffer.data(), count);
    const bool expected = size == 40 && std::memcmp(buffer.data() + 15, "BOOT", 4) == 0;
    if (accepted != expected) std::abort();
    return 0;
}
