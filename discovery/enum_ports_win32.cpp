#include <windows.h>

#include <algorithm>
#include <array>

#include "enum_ports_win32.h"
#include "port_discovery.h"

namespace {

constexpr DWORD kNameChars = 256;
constexpr DWORD kDataBytes = 512;

}  // namespace

void EnumSerialPortsFromKey(std::vector<PortInfo>& list, const wchar_t* subKey) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    for (DWORD index = 0;; ++index) {
        std::array<wchar_t, kNameChars> name{};
        // The data is a wide string; holding it in wide characters keeps it aligned.
        std::array<wchar_t, kDataBytes / sizeof(wchar_t)> data{};
        // Both capacities are in/out: the previous call replaced them with its value's sizes.
        DWORD nameChars = kNameChars;
        DWORD dataBytes = kDataBytes;
        const LONG status = RegEnumValueW(key, index, name.data(), &nameChars, nullptr, nullptr,
                                          reinterpret_cast<BYTE*>(data.data()), &dataBytes);
        // A value too big for the buffers costs only that value. Any other failure (the key
        // deleted under us, access withdrawn) would repeat at every index: walking on would take
        // four billion calls, so the list ends there.
        if (status == ERROR_MORE_DATA) continue;
        if (status != ERROR_SUCCESS) break;
        // Nothing makes a driver terminate the string it stores: stop at the data's end.
        const auto end = data.begin() + std::min<DWORD>(dataBytes, kDataBytes) / sizeof(wchar_t);
        list.push_back({std::wstring(data.begin(), std::find(data.begin(), end, L'\0')),
                        std::wstring(name.data(), nameChars)});
    }
    RegCloseKey(key);
}

void EnumSerialPorts(std::vector<PortInfo>& list) {
    EnumSerialPortsFromKey(list, L"Hardware\\DeviceMap\\SerialComm");
}

// An open of a COM port another program has refuses with "access denied": nothing to see
// beforehand.
HolderCheck PlatformHolderCheck() {
    return {};
}

PortPeek PlatformPortPeek() {
    return [](const std::wstring&) { return OpenStatus{}; };
}
