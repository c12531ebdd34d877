#pragma once

// The Linux serial layer as a value of its own, for tests that must not use the system's lock
// directory. Everything else uses PlatformSerialLayer().

#include <memory>
#include <string>

#include "serial_layer.h"

// The system's directory of UUCP lock files.
inline constexpr const char* kSystemLockDir = "/run/lock";

// A Linux layer whose UUCP lock files live in `lockDir`.
std::unique_ptr<ISerialLayer> MakeLinuxSerialLayer(const std::string& lockDir);
