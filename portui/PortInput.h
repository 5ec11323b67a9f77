#pragma once
// Checks and conversions of what the user types into the port dialogs.

#include <windows.h>

// Removes leading and trailing CR, LF, space and tab in place; returns the
// new length.
int TrimPortText(WCHAR* text);

// Whether a port name is acceptable: not empty, no backslash.
BOOL IsValidPortName(LPCWSTR name);

// Whether the text is acceptable as a printer address:
//  - starting with a decimal digit, a dotted IPv4 address: four non-empty
//    groups of at most three characters separated by three dots, each group
//    read as a signed decimal number (leading digits, so "1x" reads 1) from
//    0 to 255;
//  - starting with an ASCII letter, a host name: labels separated by "."
//    that each begin with a letter and go on with letters, digits, "_" and
//    "-"; a trailing "." is allowed;
//  - anything else, the empty text included, is rejected.
BOOL IsValidPortAddress(LPCWSTR text);

// The number made of the text's leading decimal digits (trailing text is
// ignored, no digits give 0); a number above 65535 gives 65536, so the
// result is in range exactly when it is from 1 to 65535.
DWORD ParsePortNumber(LPCWSTR text);
