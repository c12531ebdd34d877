#include "serial_layer.h"

#include <system_error>
#include <utility>

#include "stop_request.h"

PortHandle ISerialLayer::Open(const std::wstring& name) {
    OpenStatus ignored;
    return Open(name, ignored);
}

std::uint32_t ISerialLayer::Write(PortHandle port, const std::uint8_t* data, std::uint32_t length) {
    return Write(port, data, length, [this] { return StopRequested() != 0; });
}

void ISerialLayer::Pause(std::uint32_t milliseconds) {
    PauseUnlessStopped(milliseconds);
}

int ISerialLayer::StopRequested() {
    return ::StopRequested();
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
