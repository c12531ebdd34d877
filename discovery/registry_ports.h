#pragma once

// The Windows port list, split from EnumSerialPorts so that tests can walk a key of their own.

#include <string>
#include <vector>

// Appends the data of every value of HKEY_LOCAL_MACHINE\<subKey> that fits the buffers, in the
// order the registry enumerates them; leaves `list` unchanged when the key cannot be opened.
void EnumSerialPortsFromKey(std::vector<std::wstring>& list, const wchar_t* subKey);
