#pragma once
// The files packed into the test archives by make_archives.py (same
// contents, same time), and helpers shared by the archive tests.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Samples {

const int64_t EPOCH = 1700000000;  // entry time: 2023-11-14 22:13:20

inline std::string PseudoRandom(size_t count)
{
    std::string out(count, '\0');
    uint32_t x = 1;
    for (size_t i = 0; i < count; ++i) {
        x = (x * 1103515245u + 12345u) & 0x7FFFFFFFu;
        out[i] = static_cast<char>((x >> 16) & 0xFF);
    }
    return out;
}

inline std::string Alpha()
{
    std::string out;
    for (int i = 0; i < 200; ++i)
        out += "The quick brown fox " + std::to_string(i) + "\n";
    return out;
}

inline std::string Bravo() { return PseudoRandom(70000); }
inline std::string Module() { return "MZ" + std::string(100000, '\0'); }

// The folder of the archives, from ZP_TEST_ARCHIVES (a Unix path).
inline std::wstring ArchiveFolder()
{
    WCHAR unix_path[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"ZP_TEST_ARCHIVES", unix_path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::wstring();
    std::wstring path = L"Z:";
    path += unix_path;
    for (WCHAR& ch : path)
        if (ch == L'/')
            ch = L'\\';
    return path;
}

inline std::string ReadAll(const std::wstring& path)
{
    std::string out;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return out;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        out.append(buffer, got);
    CloseHandle(h);
    return out;
}

inline bool WriteAll(const std::wstring& path, const std::string& data)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = data.empty() || (WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr)
                                     && written == data.size());
    CloseHandle(h);
    return ok;
}

// A fresh empty folder under the user's temporary folder.
inline std::wstring FreshFolder(const wchar_t* name)
{
    WCHAR temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + name + L"." + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

}  // namespace Samples

namespace Samples {

// Deletes the files of a folder made by FreshFolder, then the folder.
inline void RemoveFolder(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring path = folder + L"\\" + found.cFileName;
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(h, &found));
        FindClose(h);
    }
    RemoveDirectoryW(folder.c_str());
}

}  // namespace Samples
