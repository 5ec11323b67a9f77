#pragma once
// The port configuration record exchanged with the port monitor through the
// transceive commands "GetConfig" and "SetConfig": 2112 bytes, little-endian,
// text in UTF-16LE. Each text field holds at most 260 characters and a NUL;
// the rest of a text field is zero. The layout is shared with the monitor
// and must not change.

#include <windows.h>

#include <cstddef>

constexpr int PORT_TEXT_CHARS = 261;  // 260 characters and the terminator

struct PORT_CONFIG {
    WCHAR szPortName[PORT_TEXT_CHARS];     // not empty, no backslash
    WCHAR szReserved[PORT_TEXT_CHARS];     // the monitor's; passed through unchanged
    WCHAR szAddress[PORT_TEXT_CHARS];      // host name or dotted IPv4 address
    WCHAR szPrinterName[PORT_TEXT_CHARS];  // the printer whose page started the operation
    DWORD dwPortNumber;                    // TCP port, 1 to 65535
    DWORD dwReserved;                      // 1 in a new port's record, else passed through
    DWORD dwFromSharedBlock;               // 1: printer context from the shared block
    DWORD dwSupportsTLS;                   // non-zero: the model supports TLS
    DWORD dwTLSEnabled;                    // 1: TLS check box checked
    DWORD dwTLSOption;                     // 1: second TLS check box checked
};

static_assert(sizeof(PORT_CONFIG) == 2112, "PORT_CONFIG is 2112 bytes");
static_assert(offsetof(PORT_CONFIG, szReserved) == 522, "szReserved at 522");
static_assert(offsetof(PORT_CONFIG, szAddress) == 1044, "szAddress at 1044");
static_assert(offsetof(PORT_CONFIG, szPrinterName) == 1566, "szPrinterName at 1566");
static_assert(offsetof(PORT_CONFIG, dwPortNumber) == 2088, "dwPortNumber at 2088");
static_assert(offsetof(PORT_CONFIG, dwReserved) == 2092, "dwReserved at 2092");
static_assert(offsetof(PORT_CONFIG, dwFromSharedBlock) == 2096, "dwFromSharedBlock at 2096");
static_assert(offsetof(PORT_CONFIG, dwSupportsTLS) == 2100, "dwSupportsTLS at 2100");
static_assert(offsetof(PORT_CONFIG, dwTLSEnabled) == 2104, "dwTLSEnabled at 2104");
static_assert(offsetof(PORT_CONFIG, dwTLSOption) == 2108, "dwTLSOption at 2108");

// Stores text in a record's text field: at most 260 characters, the rest of
// the field zero.
inline void SetPortText(WCHAR (&field)[PORT_TEXT_CHARS], LPCWSTR text)
{
    ZeroMemory(field, sizeof(field));
    lstrcpynW(field, text, PORT_TEXT_CHARS);
}
