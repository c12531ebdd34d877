#include "serial_layer.h"

#include <system_error>
#include <utility>

PortHandle ISerialLayer::Open(const std::wstring& name) {
    OpenStatus ignored;
    return Open(name, ignored);
}

bool ISerialLayer::StartThread(std::thread& thread, std::function<void()> body) {
    // The link throws nothing: a thread the system refuses is reported, not thrown.
    try {
        thread = std::thread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}
