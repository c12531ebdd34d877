#pragma once

// Shared test helpers. See the platform files for what each offers.

#include <string>

// Directory holding the built executables (meter-sim, Dravik), from DRAVIK_BIN_DIR.
std::string BinDir();
