#pragma once

// The Linux serial layer as a value of its own, for tests that must not use the system's lock
// directory (everything else uses PlatformSerialLayer()).

#include <memory>
#include <string>

#include "serial_layer.h"

// A Linux layer whose UUCP lock files live in `lockDir`.
std::unique_ptr<ISerialLayer> MakeLinuxSerialLayer(const std::string& lockDir);
