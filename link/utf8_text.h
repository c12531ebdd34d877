#pragma once

// Wide strings (UTF-16 on Windows, UTF-32 on Linux), in which link/, discovery/ and text/ carry
// port names and the operator's texts, to and from UTF-8: the bytes of Linux paths, and the
// command line's arguments, output and log on both platforms.

#include <optional>
#include <string>
#include <string_view>

// nullopt when `utf8` is not UTF-8.
std::optional<std::wstring> WideFromUtf8(std::string_view utf8);

// What is not UTF-8 becomes U+FFFD: names read from the file system, where nothing guarantees
// UTF-8 (such a name cannot be opened again by its wide form, which is as it should be).
std::wstring WideFromBytes(std::string_view bytes);

// What is not a character becomes U+FFFD: port names come from the registry and the file
// system, where nothing guarantees them valid, and are still to be shown.
std::string Utf8FromWide(std::wstring_view wide);

// A port name as the bytes of a Linux path (UTF-8); nullopt for a name no path could have (a
// NUL, which would end the path early and open another device than the one named, or what is
// not a character).
std::optional<std::string> PortPathBytes(const std::wstring& name);
