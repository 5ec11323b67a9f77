#include "PortInput.h"

namespace {

bool IsBlank(WCHAR c) { return c == L'\r' || c == L'\n' || c == L' ' || c == L'\t'; }
bool IsDigit(WCHAR c) { return c >= L'0' && c <= L'9'; }
bool IsAsciiLetter(WCHAR c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// A group of a dotted address, read the way a signed decimal conversion
// reads it: blanks, an optional sign, the leading digits.
int GroupValue(const WCHAR* group, int length)
{
    int i = 0;
    while (i < length && (group[i] == L' ' || (group[i] >= L'\t' && group[i] <= L'\r')))
        ++i;
    bool negative = false;
    if (i < length && (group[i] == L'+' || group[i] == L'-'))
        negative = group[i++] == L'-';
    int value = 0;
    for (; i < length && IsDigit(group[i]); ++i)
        value = value * 10 + (group[i] - L'0');  // at most three characters: no overflow
    return negative ? -value : value;
}

BOOL IsValidDottedAddress(LPCWSTR text)
{
    WCHAR group[3];
    int length = 0;
    int dots = 0;
    int groups = 0;
    for (LPCWSTR p = text; *p; ++p) {
        if (*p == L'.') {
            if (length == 0 || ++dots > 3)
                return FALSE;
            const int value = GroupValue(group, length);
            if (value < 0 || value > 255)
                return FALSE;
            ++groups;
            length = 0;
        } else {
            if (length == 3)
                return FALSE;
            group[length++] = *p;
        }
    }
    if (length > 0) {
        const int value = GroupValue(group, length);
        if (value < 0 || value > 255)
            return FALSE;
        ++groups;
    }
    return groups == 4;
}

BOOL IsValidHostName(LPCWSTR text)
{
    bool label_start = true;
    for (LPCWSTR p = text; *p; ++p) {
        if (label_start) {
            if (!IsAsciiLetter(*p))
                return FALSE;
            label_start = false;
        } else if (*p == L'.') {
            label_start = true;
        } else if (!IsAsciiLetter(*p) && !IsDigit(*p) && *p != L'_' && *p != L'-') {
            return FALSE;
        }
    }
    return TRUE;
}

}  // namespace

int TrimPortText(WCHAR* text)
{
    int start = 0;
    while (text[start] && IsBlank(text[start]))
        ++start;
    int end = start + lstrlenW(text + start);
    while (end > start && IsBlank(text[end - 1]))
        --end;
    const int length = end - start;
    if (start > 0)
        MoveMemory(text, text + start, length * sizeof(WCHAR));
    text[length] = L'\0';
    return length;
}

BOOL IsValidPortName(LPCWSTR name)
{
    if (!name[0])
        return FALSE;
    for (LPCWSTR p = name; *p; ++p) {
        if (*p == L'\\')
            return FALSE;
    }
    return TRUE;
}

BOOL IsValidPortAddress(LPCWSTR text)
{
    if (IsDigit(text[0]))
        return IsValidDottedAddress(text);
    if (IsAsciiLetter(text[0]))
        return IsValidHostName(text);
    return FALSE;
}

DWORD ParsePortNumber(LPCWSTR text)
{
    DWORD value = 0;
    for (LPCWSTR p = text; IsDigit(*p); ++p) {
        value = value * 10 + static_cast<DWORD>(*p - L'0');
        if (value > 65535)
            return 65536;
    }
    return value;
}
