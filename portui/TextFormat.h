#pragma once
// A bounded formatter for the UI's texts. Conversions: "%s" and "%ls" take
// the next text argument, "%u" the next number, "%%" gives "%". Anything
// else is copied as it stands, and a conversion with no argument left gives
// nothing, so a translated format string can never read past the arguments
// it is given. The result is cut to fit and always terminated.

#include <windows.h>

#include <initializer_list>

struct FormatArg {
    FormatArg(LPCWSTR text) : Text(text ? text : L""), Number(0), IsNumber(false) {}
    FormatArg(DWORD number) : Text(nullptr), Number(number), IsNumber(true) {}

    LPCWSTR Text;
    DWORD Number;
    bool IsNumber;
};

// Returns the length written (at most capacity - 1). capacity must be > 0.
int FormatText(WCHAR* buffer, int capacity, LPCWSTR format, std::initializer_list<FormatArg> args);

template <int N>
int FormatText(WCHAR (&buffer)[N], LPCWSTR format, std::initializer_list<FormatArg> args)
{
    return FormatText(buffer, N, format, args);
}
