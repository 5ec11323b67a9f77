#include <windows.h>

#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ORegistry.h"

namespace {

const wchar_t* const MONITOR_KEY_ = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Brenwick Port";
const wchar_t* const TEST_KEY_ = L"Software\\ZpRegistryTest";

void SetValue(HKEY root, const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size,
              REGSAM view = 0)
{
    HKEY h;
    ASSERT_EQ(RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &h, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(h);
}

void SetDword(HKEY root, const wchar_t* key, const wchar_t* name, DWORD value, REGSAM view = 0)
{
    SetValue(root, key, name, REG_DWORD, &value, sizeof(value), view);
}

bool KeyExists(HKEY root, const wchar_t* key)
{
    HKEY h;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

// The first ORegistry objects of the process are made on several threads
// at once: every one sees the whole table.
TEST(ORegistryTable, BuiltOnceWhenFirstUsedOnManyThreads)
{
    std::vector<std::thread> threads;
    std::vector<int> wrong(8, 0);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            ORegistry registry;
            if (std::wcscmp(registry.Expand(L"PARAMETERSET:x").Wide(), L"2:SOFTWARE/Brenwick/Drivers/Parameter Sets/x"))
                ++wrong[t];
            if (std::wcscmp(registry.Expand(L"CLASSES_ROOT:x").Wide(), L"0:x"))
                ++wrong[t];
        });
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(wrong, std::vector<int>(8, 0));
}

TEST(ORegistryTable, ExpandsLeadingTableKeys)
{
    ORegistry r;
    EXPECT_STREQ(r.Expand(L"PRINT:Monitors/Brenwick Port").Wide(),
                 L"2:SYSTEM/CurrentControlSet/Control/Print/Monitors/Brenwick Port");
    EXPECT_STREQ(r.Expand(L"print:Monitors").Wide(), L"2:SYSTEM/CurrentControlSet/Control/Print/Monitors");
    EXPECT_STREQ(r.Expand(L"PRINT:").Wide(), L"2:SYSTEM/CurrentControlSet/Control/Print");
    EXPECT_STREQ(r.Expand(L"CURRENT_USER:Software/Test").Wide(), L"1:Software/Test");
    EXPECT_STREQ(r.Expand(L"USERS:S-1-5-18").Wide(), L"3:S-1-5-18");
    EXPECT_STREQ(r.Expand(L"Monitor:Ports").Wide(),
                 L"2:SYSTEM/CurrentControlSet/Control/Print/Monitors/Brenwick Network Monitor/Ports");
    EXPECT_STREQ(r.Expand(L"MODEL:").Wide(),
                 L"2:SYSTEM/CurrentControlSet/Control/Print/Printers/[PRINTER]/PrinterDriverData/Model");
    EXPECT_STREQ(r.Expand(L"NETWORK:a").Wide(), L"2:SOFTWARE/Brenwick/Drivers/Network/@[SERVER]/a");
    EXPECT_STREQ(r.Expand(L"NOSUCH:a/b").Wide(), L"NOSUCH:a/b");
    EXPECT_STREQ(r.Expand(L"2:SOFTWARE").Wide(), L"2:SOFTWARE");
    EXPECT_STREQ(r.Expand(L"no colon").Wide(), L"no colon");
}

TEST(ORegistryPaths, ResolveSplitsKeyAndDecodedValue)
{
    ORegistry r;
    OString key;
    OString value;
    ASSERT_TRUE(r.Resolve(L"PRINT:Monitors/Brenwick Port/DefaultPortNumber", key, value));
    EXPECT_STREQ(key.Wide(), L"PRINT:Monitors/Brenwick Port");
    EXPECT_STREQ(value.Wide(), L"DefaultPortNumber");
    ASSERT_TRUE(r.Resolve(L"PRINT:Name", key, value));
    EXPECT_STREQ(key.Wide(), L"PRINT:");
    EXPECT_STREQ(value.Wide(), L"Name");
    ASSERT_TRUE(r.Resolve(L"2:SOFTWARE/A//B/Value", key, value));
    EXPECT_STREQ(key.Wide(), L"2:SOFTWARE/A%2FB");
    EXPECT_STREQ(value.Wide(), L"Value");
    ASSERT_TRUE(r.Resolve(L"1:Key\\Sub/a::b%%c//d", key, value));  // a backslash is a "/"
    EXPECT_STREQ(key.Wide(), L"1:Key/Sub");
    EXPECT_STREQ(value.Wide(), L"a:b%c/d");
    ASSERT_TRUE(r.Resolve(L"1:Key/%41%6a%zz%4", key, value));
    EXPECT_STREQ(value.Wide(), L"Aj%zz%4");  // only "%" and two hex digits decode
    EXPECT_FALSE(r.Resolve(L"NoSeparator", key, value));

    r.SetBasePath(L"CURRENT_USER:Software/Base//");
    ASSERT_TRUE(r.Resolve(L"Sub/Value", key, value));
    EXPECT_STREQ(key.Wide(), L"CURRENT_USER:Software/Base%2F/Sub");
    ASSERT_TRUE(r.Resolve(L"NoSeparator", key, value));
    EXPECT_STREQ(key.Wide(), L"CURRENT_USER:Software/Base%2F");
    EXPECT_STREQ(value.Wide(), L"NoSeparator");
    ASSERT_TRUE(r.Resolve(L"2:Absolute/Value", key, value));  // a root ignores the base
    EXPECT_STREQ(key.Wide(), L"2:Absolute");
    ASSERT_TRUE(r.Resolve(L"", key, value));  // the base key's default value
    EXPECT_STREQ(key.Wide(), L"CURRENT_USER:Software/Base%2F/");
    EXPECT_STREQ(value.Wide(), L"");
    r.SetBasePath(L"CURRENT_USER:");
    ASSERT_TRUE(r.Resolve(L"Software/Value", key, value));
    EXPECT_STREQ(key.Wide(), L"CURRENT_USER:Software");
}

class ORegistryValues : public ::testing::Test {
protected:
    static void TearDownTestSuite()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, MONITOR_KEY_);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, MONITOR_KEY_);
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Test");
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Test");
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\A/B");
        RegDeleteTreeW(HKEY_CURRENT_USER, TEST_KEY_);
        RegDeleteKeyW(HKEY_CURRENT_USER, TEST_KEY_);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZpWowTest", KEY_WOW64_32KEY, 0);
    }
};

TEST_F(ORegistryValues, WorkedExampleReadsTheMonitorsDefaultPort)
{
    SetDword(HKEY_LOCAL_MACHINE, MONITOR_KEY_, L"DefaultPortNumber", 9101);
    ORegistry r;
    DWORD port = 0;
    EXPECT_EQ(r.ReadValue(L"PRINT:Monitors/Brenwick Port/DefaultPortNumber", &port), 4);
    EXPECT_EQ(port, 9101u);
    port = 0;
    EXPECT_EQ(r.ReadValue(L"print:Monitors/Brenwick Port/DefaultPortNumber", &port), 4);
    EXPECT_EQ(port, 9101u);
    port = 0;
    EXPECT_EQ(r.ReadValue(L"2:SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Brenwick Port\\DefaultPortNumber",
                          &port),
              4);
    EXPECT_EQ(port, 9101u);
}

TEST_F(ORegistryValues, EdgeCasesOfPaths)
{
    ORegistry r;
    SetDword(HKEY_CURRENT_USER, L"Software\\Test", L"Value", 0x11223344);
    DWORD v = 0;
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Software/Test/Value", &v), 4);
    EXPECT_EQ(v, 0x11223344u);

    SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\A/B", L"Value", 42);  // a key named "A/B"
    v = 0;
    EXPECT_EQ(r.ReadValue(L"2:SOFTWARE/A//B/Value", &v), 4);
    EXPECT_EQ(v, 42u);

    SetDword(HKEY_CURRENT_USER, TEST_KEY_, L"a:b", 1);
    SetDword(HKEY_CURRENT_USER, TEST_KEY_, L"100%", 2);
    SetDword(HKEY_CURRENT_USER, TEST_KEY_, L"x/y", 3);
    SetDword(HKEY_CURRENT_USER, L"Software\\ZpRegistryTest\\Key:1", L"ABC", 4);
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Software/ZpRegistryTest/a::b", &v), 4);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Software/ZpRegistryTest/100%%", &v), 4);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Software/ZpRegistryTest/x//y", &v), 4);
    EXPECT_EQ(v, 3u);
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Software/ZpRegistryTest/Key::1/%41BC", &v), 4);
    EXPECT_EQ(v, 4u);

    EXPECT_EQ(r.ReadValue(L"NoSeparator", &v), ORegistry::READ_UNRESOLVED);
    EXPECT_EQ(r.ReadValue(L"", &v), ORegistry::READ_UNRESOLVED);
    SetLastError(0);
    EXPECT_EQ(r.ReadValue(L"7:SOFTWARE/X/Value", &v), ORegistry::READ_NO_KEY);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(r.ReadValue(L"NOSUCH:Software/Test/Value", &v), ORegistry::READ_NO_KEY);  // no number, no root
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Value", &v), ORegistry::READ_NO_KEY);        // the root itself
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Software/NoSuchKeyHere/Value", &v), ORegistry::READ_NO_KEY);
    SetLastError(0);
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Software/Test/NoSuchValue", &v), ORegistry::READ_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(ORegistryValues, ReadsAtMostFourBytesOfAnyType)
{
    const BYTE two[2] = {0xAB, 0xCD};
    const ULONGLONG eight = 0x0102030405060708ULL;
    SetValue(HKEY_CURRENT_USER, TEST_KEY_, L"two", REG_BINARY, two, 2);
    SetValue(HKEY_CURRENT_USER, TEST_KEY_, L"eight", REG_QWORD, &eight, 8);
    SetValue(HKEY_CURRENT_USER, TEST_KEY_, L"digit", REG_SZ, L"9", 4);
    SetValue(HKEY_CURRENT_USER, TEST_KEY_, L"digits", REG_SZ, L"91", 6);
    SetValue(HKEY_CURRENT_USER, TEST_KEY_, L"none", REG_BINARY, two, 0);
    SetDword(HKEY_CURRENT_USER, TEST_KEY_, L"", 5);
    ORegistry r;
    BYTE dest[4] = {1, 2, 3, 4};
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Software/ZpRegistryTest/two", dest), 2);
    EXPECT_EQ(dest[0], 0xAB);
    EXPECT_EQ(dest[1], 0xCD);
    EXPECT_EQ(dest[2], 3);  // untouched
    EXPECT_EQ(dest[3], 4);
    const BYTE before[4] = {9, 9, 9, 9};
    std::memcpy(dest, before, 4);
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Software/ZpRegistryTest/eight", dest), ORegistry::READ_TOO_LONG);
    EXPECT_EQ(std::memcmp(dest, before, 4), 0);
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Software/ZpRegistryTest/digits", dest), ORegistry::READ_TOO_LONG);
    DWORD v = 0;
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Software/ZpRegistryTest/digit", &v), 4);
    EXPECT_EQ(v, 57u);  // the UTF-16 code of "9" and its terminator
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Software/ZpRegistryTest/none", &v), 0);
    EXPECT_EQ(r.ReadValue(L"CURRENT_USER:Software/ZpRegistryTest/", &v), 4);  // the default value
    EXPECT_EQ(v, 5u);

    r.SetBasePath(L"CURRENT_USER:Software/ZpRegistryTest/");
    v = 0;
    EXPECT_EQ(r.ReadValue(L"digit", &v), 4);
    EXPECT_EQ(v, 57u);
    v = 0;
    EXPECT_EQ(r.ReadValue(L"", &v), 4);
    EXPECT_EQ(v, 5u);
}

TEST_F(ORegistryValues, OpenCreatesOnlyWhenAsked)
{
    ORegistry r;
    const OString path(L"1:Software/ZpRegistryTest/Created/Deeper/");
    SetLastError(0);
    EXPECT_EQ(r.Open(path, FALSE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\ZpRegistryTest\\Created"));
    HKEY key = r.Open(path, TRUE);
    ASSERT_NE(key, nullptr);
    const DWORD value = 77;
    EXPECT_EQ(RegSetValueExW(key, L"w", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\ZpRegistryTest\\Created\\Deeper"));
    key = r.Open(path, FALSE);
    ASSERT_NE(key, nullptr);
    RegCloseKey(key);
    EXPECT_EQ(r.Open(L"1:", TRUE), nullptr);
    EXPECT_EQ(r.Open(L"4:Software", TRUE), nullptr);
    EXPECT_EQ(r.Open(L":Software", TRUE), nullptr);
}

TEST_F(ORegistryValues, AccessBitsReachEveryOpen)
{
    SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ZpWowTest", L"v", 32, KEY_WOW64_32KEY);
    ORegistry r;
    DWORD v = 0;
    EXPECT_EQ(r.ReadValue(L"2:SOFTWARE/ZpWowTest/v", &v), ORegistry::READ_NO_KEY);  // not in the 64-bit view
    r.SetAccessBits(KEY_WOW64_32KEY);
    EXPECT_EQ(r.ReadValue(L"2:SOFTWARE/ZpWowTest/v", &v), 4);
    EXPECT_EQ(v, 32u);
}

}  // namespace
