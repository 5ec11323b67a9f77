#include "ODriverTemp.h"

#include <windows.h>

#include <shlobj.h>

namespace {

typedef HRESULT(WINAPI* SHGETFOLDERPATHW)(HWND, int, HANDLE, DWORD, LPWSTR);

BOOL CreateFolder(const OString& path)
{
    if (CreateDirectoryW(path.Wide(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        return TRUE;
    const int slash = path.ReverseFindOneOf(L"\\");
    if (slash <= 3)
        return FALSE;
    if (!CreateFolder(path.Left(slash)))
        return FALSE;
    return CreateDirectoryW(path.Wide(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

BOOL CommonAppData(WCHAR* path)
{
    HMODULE shell = LoadLibraryW(L"Shell32.dll");
    if (!shell)
        return FALSE;
    BOOL ok = FALSE;
    const auto get = reinterpret_cast<SHGETFOLDERPATHW>(
        reinterpret_cast<void*>(GetProcAddress(shell, "SHGetFolderPathW")));
    if (get)
        ok = SUCCEEDED(get(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path));
    FreeLibrary(shell);
    return ok;
}

}  // namespace

OString GetDriverTempFolder()
{
    WCHAR path[MAX_PATH] = {};
    if (CommonAppData(path)) {
        OString folder(path);
        folder.Append(L"\\Brenwick\\Drivers\\Temp");
        if (CreateFolder(folder))
            return folder;
    }
    const DWORD length = GetTempPathW(MAX_PATH, path);
    if (length == 0 || length >= MAX_PATH)
        return OString();
    return OString(path);
}
