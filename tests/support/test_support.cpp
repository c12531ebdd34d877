#include "test_support.h"

#include <cstdlib>
#include <string>
#include <thread>

std::wstring TestComPort(std::string& skipReason) {
    const char* name = std::getenv("DRAVIK_TEST_COM");
    if (name == nullptr || *name == '\0') {
        skipReason = "DRAVIK_TEST_COM names no test port";
        return {};
    }
    const std::string port = name;
    for (const char* own : {"COM1", "COM2", "COM3", "COM4"}) {
        if (port == own) {
            skipReason = "refusing " + port + ": it may be the machine's own serial device";
            return {};
        }
    }
    return std::wstring(port.begin(), port.end());
}

bool PollUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
