#pragma once

// The Linux serial layer as a value of its own, for tests that must not use the system's lock
// directory (everything else uses PlatformSerialLayer()), and the layer's view of port names.

#include <memory>
#include <optional>
#include <string>

#include "serial_layer.h"

// The system's directory of UUCP lock files.
inline constexpr const char* kSystemLockDir = "/run/lock";

// A Linux layer whose UUCP lock files live in `lockDir`.
std::unique_ptr<ISerialLayer> MakeLinuxSerialLayer(const std::string& lockDir);

// Port names come in as wide strings (UTF-32 on Linux); the kernel wants UTF-8 bytes. nullopt
// for a name no path could have (a NUL, a surrogate).
std::optional<std::string> PortPathBytes(const std::wstring& name);
