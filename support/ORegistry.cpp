#include "ORegistry.h"

#include <new>

#include "ORegistryKeys.h"

namespace {

const DWORD ACCESS_READ_WRITE_ = 0x2001F;  // KEY_READ | KEY_WRITE
const DWORD ACCESS_READ_ = 0x20019;        // KEY_READ

// Doubled "%", "/" and ":" become escapes; backslashes become "/".
OString Escape(const OString& path)
{
    OString out(path);
    out.Replace(L"%%", L"%25");
    out.Replace(L"//", L"%2F");
    out.Replace(L"::", L"%3A");
    out.Replace(L"\\", L"/");
    return out;
}

int HexDigit(WCHAR ch)
{
    if (ch >= L'0' && ch <= L'9')
        return ch - L'0';
    if (ch >= L'a' && ch <= L'f')
        return ch - L'a' + 10;
    if (ch >= L'A' && ch <= L'F')
        return ch - L'A' + 10;
    return -1;
}

// Every "%" followed by two hex digits becomes the character they give; the
// scan goes on after it. A "%" not followed by two hex digits, and "%00",
// stay as they are.
OString Decode(const OString& text)
{
    if (text.Find(L'%') < 0)
        return text;
    const LPCWSTR s = text.Wide();
    const int length = text.GetLength();
    OString out(L"", text.GetCodePage());
    for (int i = 0; i < length; ++i) {
        if (s[i] == L'%' && i + 2 < length) {
            const int high = HexDigit(s[i + 1]);
            const int low = HexDigit(s[i + 2]);
            if (high >= 0 && low >= 0 && (high | low) != 0) {
                out.Append(static_cast<WCHAR>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.Append(s[i]);
    }
    return out;
}

OString UpperCase(const OString& text)
{
    const int length = text.GetLength();
    if (length == 0)
        return text;
    const int needed = LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_UPPERCASE, text.Wide(), length, nullptr, 0);
    if (needed <= 0)
        return text;
    WCHAR small[64];
    WCHAR* buffer = needed <= 64 ? small : new (std::nothrow) WCHAR[needed];
    if (!buffer)
        return text;
    OString out(text);
    if (LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_UPPERCASE, text.Wide(), length, buffer, needed) == needed)
        out = OString(buffer, needed, text.GetCodePage());
    if (buffer != small)
        delete[] buffer;
    return out;
}

// 0 to 3 select a root; anything else (including text that is not a plain
// decimal number) selects none.
HKEY RootKey(const OString& digits)
{
    const int length = digits.GetLength();
    if (length == 0 || length > 9)
        return nullptr;
    int value = 0;
    for (int i = 0; i < length; ++i) {
        const WCHAR ch = digits.GetAt(i);
        if (ch < L'0' || ch > L'9')
            return nullptr;
        value = value * 10 + (ch - L'0');
    }
    switch (value) {
    case 0:
        return HKEY_CLASSES_ROOT;
    case 1:
        return HKEY_CURRENT_USER;
    case 2:
        return HKEY_LOCAL_MACHINE;
    case 3:
        return HKEY_USERS;
    default:
        return nullptr;
    }
}

}  // namespace

ORegistry::ORegistry() : AccessBits_(0)
{
    BuildRegistryKeys();
}

ORegistry::~ORegistry() = default;

BOOL ORegistry::Resolve(const OString& path, OString& key_path, OString& value_name) const
{
    const OString given = Escape(path);
    OString full;
    if (given.Find(L':', 1) < 0) {
        full = Escape(Base_);
        full.TrimRight(L'/');
        if (!full.IsEmpty() && full.GetAt(full.GetLength() - 1) != L':')
            full.Append(L'/');
        full.Append(given);
    } else {
        full = given;
    }
    const int split = full.ReverseFindOneOf(L":/");
    if (split < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (given.IsEmpty()) {
        key_path = full;
        value_name = OString();
    } else {
        key_path = full.Left(full.GetAt(split) == L':' ? split + 1 : split);
        value_name = Decode(full.Mid(split + 1));
    }
    return TRUE;
}

OString ORegistry::Expand(const OString& key_path) const
{
    const int colon = key_path.Find(L':');
    if (colon < 0)
        return key_path;
    const OString* tmpl = FindRegistryKey(UpperCase(key_path.Left(colon)));
    if (!tmpl)
        return key_path;
    const OString rest = key_path.Mid(colon + 1);
    OString out(*tmpl);
    const WCHAR last = out.GetAt(out.GetLength() - 1);
    if (!rest.IsEmpty() && last != L':' && last != L'/')
        out.Append(L'/');
    out.Append(rest);
    return out;
}

HKEY ORegistry::Open(const OString& key_path, BOOL create) const
{
    const int colon = key_path.Find(L':', 1);
    HKEY root = colon > 0 ? RootKey(key_path.Left(colon)) : nullptr;
    if (!root) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    OString sub = key_path.Mid(colon + 1);
    sub.Replace(L"/", L"\\");
    sub = Decode(sub);
    sub.TrimRight(L'\\');
    if (sub.IsEmpty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(root, sub.Wide(), 0, AccessBits_ | ACCESS_READ_WRITE_, &key);
    if (result != ERROR_SUCCESS)
        result = RegOpenKeyExW(root, sub.Wide(), 0, AccessBits_ | ACCESS_READ_, &key);
    if (result != ERROR_SUCCESS && create)
        result = RegCreateKeyExW(root, sub.Wide(), 0, nullptr, 0, AccessBits_ | ACCESS_READ_WRITE_, nullptr, &key,
                                 nullptr);
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return nullptr;
    }
    return key;
}

int ORegistry::ReadValue(const OString& path, void* dest) const
{
    OString key_path;
    OString value_name;
    if (!Resolve(path, key_path, value_name))
        return READ_UNRESOLVED;
    HKEY key = Open(Expand(key_path), FALSE);
    if (!key)
        return READ_NO_KEY;
    BYTE data[4];
    DWORD size = sizeof(data);
    const LONG result = RegQueryValueExW(key, value_name.Wide(), nullptr, nullptr, data, &size);
    RegCloseKey(key);
    if (result == ERROR_SUCCESS && size <= sizeof(data)) {
        CopyMemory(dest, data, size);
        return static_cast<int>(size);
    }
    SetLastError(static_cast<DWORD>(result));
    return result == ERROR_MORE_DATA ? READ_TOO_LONG : READ_FAILED;
}
