#pragma once

// Shared test helpers. See the platform files for what each offers.

#include <chrono>
#include <functional>
#include <string>

// The COM port the Wine harness mapped onto the simulated meter (DRAVIK_TEST_COM). Empty, with
// the reason in `skipReason`, when none is set, or when it names COM1..COM4: Wine maps those to
// the machine's own serial devices, which no test may touch.
std::wstring TestComPort(std::string& skipReason);

// Asks `done` every millisecond until it holds; false once `limit` has passed. Only for what
// sends no signal a test could wait on (a kernel queue filling, a flag another thread sets);
// the limit is generous, since only a fault should ever reach it.
bool PollUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
