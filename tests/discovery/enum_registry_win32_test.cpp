// The registry walk, against a key of the test's own under HKLM\Software\DravikTest, removed
// again afterwards.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "enum_ports_win32.h"

namespace {

using ::testing::ElementsAre;

constexpr const wchar_t* kTestRoot = L"Software\\DravikTest";
constexpr const wchar_t* kTestKey = L"Software\\DravikTest\\SerialComm";

class RegistryPorts : public ::testing::Test {
  protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestRoot);  // left over from an aborted run
        const LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_WRITE,
                                            nullptr, &m_key, nullptr);
        if (status == ERROR_ACCESS_DENIED) GTEST_SKIP() << "no write access to HKLM";
        ASSERT_EQ(status, ERROR_SUCCESS);
    }
    void TearDown() override {
        if (m_key != nullptr) RegCloseKey(m_key);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestRoot);
    }

    // A string value, stored with its terminator.
    void AddString(const std::wstring& name, const std::wstring& data) {
        Add(name, REG_SZ, data.c_str(), (data.size() + 1) * sizeof(wchar_t));
    }
    // Raw bytes: REG_BINARY, because string types get a missing terminator added on the way in.
    void AddBytes(const std::wstring& name, const void* data, std::size_t bytes) {
        Add(name, REG_BINARY, data, bytes);
    }

    // The names of what the walk of the test key appends to `list`.
    static std::vector<std::wstring> Names(std::vector<PortInfo> list, const wchar_t* key) {
        EnumSerialPortsFromKey(list, key);
        std::vector<std::wstring> names;
        for (const PortInfo& port : list)
            names.push_back(port.name);
        return names;
    }

    HKEY m_key = nullptr;

  private:
    void Add(const std::wstring& name, DWORD type, const void* data, std::size_t bytes) {
        ASSERT_EQ(RegSetValueExW(m_key, name.c_str(), 0, type, static_cast<const BYTE*>(data),
                                 static_cast<DWORD>(bytes)),
                  ERROR_SUCCESS);
    }
};

TEST_F(RegistryPorts, ListsEveryValueThatFitsInRegistryOrder) {
    // Names sort in the order they are added: Wine enumerates a key's values sorted by name,
    // Windows in the order they were added.
    AddString(L"00 \\Device\\Serial0", L"COM3");
    AddString(L"01 \\Device\\Serial1", L"COM1");          // registry order, not sorted
    AddString(L"02 too long", std::wstring(300, L'X'));   // 602 bytes: skipped
    AddString(L"03" + std::wstring(300, L'n'), L"COM8");  // name beyond 256 characters: skipped
    AddString(L"04" + std::wstring(253, L'm'), L"COM5");  // 255 characters and the terminator fit
    AddString(L"05 empty", L"");
    AddString(L"06 again", L"COM3");  // no removal of duplicates
    const std::wstring unterminated = L"COM9X";
    AddBytes(L"07 unterminated", unterminated.data(), 4 * sizeof(wchar_t));
    AddBytes(L"08 odd length", unterminated.data(), 4 * sizeof(wchar_t) + 1);
    const std::wstring full(256, L'F');  // fills the 512-byte buffer with no terminator
    AddBytes(L"09 full", full.data(), full.size() * sizeof(wchar_t));
    AddString(L"10 last", L"COM12");

    EXPECT_THAT(Names({{L"earlier", L""}}, kTestKey),
                ElementsAre(L"earlier", L"COM3", L"COM1", L"COM5", L"", L"COM3", L"COM9", L"COM9",
                            full, L"COM12"));
}

TEST_F(RegistryPorts, EmptyOrMissingKeyListsNothing) {
    EXPECT_THAT(Names({{L"earlier", L""}}, kTestKey), ElementsAre(L"earlier"));
    EXPECT_THAT(Names({{L"earlier", L""}}, L"Software\\DravikTest\\Missing"),
                ElementsAre(L"earlier"));
}

TEST_F(RegistryPorts, DescribesEachPortByItsDeviceName) {
    AddString(L"\\Device\\Serial0", L"COM3");
    AddString(L"\\Device\\VCP0", L"COM7");
    std::vector<PortInfo> list;
    EnumSerialPortsFromKey(list, kTestKey);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name + L"=" + list[0].description, L"COM3=\\Device\\Serial0");
    EXPECT_EQ(list[1].name + L"=" + list[1].description, L"COM7=\\Device\\VCP0");
}

}  // namespace
