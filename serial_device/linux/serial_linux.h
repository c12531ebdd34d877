#pragma once

// The Linux serial layer as a value of its own, for tests that must not use the system's lock
// directory, or that give it fake sysfs and /proc trees (everything else uses
// PlatformSerialLayer()).

#include <memory>
#include <string>

#include "serial_layer.h"
#include "system_linux.h"

// A Linux layer whose UUCP lock files live in roots.lockDir, which bounds the PIDs a lock may
// name by roots.proc and finds the console's devices in roots.sysfs.
std::unique_ptr<ISerialLayer> MakeLinuxSerialLayer(const SystemRoots& roots);
