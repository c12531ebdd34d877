#pragma once

// The command line speaks UTF-8 on both platforms (arguments, output, the log); link/,
// discovery/ and text/ speak wide strings (UTF-16 on Windows, UTF-32 on Linux).

#include <optional>
#include <string>
#include <string_view>

// nullopt when `utf8` is not UTF-8.
std::optional<std::wstring> WideFromUtf8(std::string_view utf8);

// Whatever is not a character (an unpaired surrogate, a value beyond U+10FFFF) becomes U+FFFD:
// port names come from the registry and the file system, where nothing guarantees them valid.
std::string Utf8FromWide(std::wstring_view wide);
