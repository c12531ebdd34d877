#pragma once

// Shared test helpers. See the platform files for what each offers.

#include <string>

// The COM port the Wine harness mapped onto the simulated meter (DRAVIK_TEST_COM). Empty, with
// the reason in `skipReason`, when none is set, or when it names COM1..COM4: Wine maps those to
// the machine's own serial devices, which no test may touch.
std::wstring TestComPort(std::string& skipReason);
