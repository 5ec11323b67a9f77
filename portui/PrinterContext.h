#pragma once
// Finds the printer whose property page started a port operation.
//
// The spooler names only the owner window. Two ways, tried in order:
//  - the page's window texts: the first descendant of the parent's first
//    child window (the page) with a text of 1 to 260 characters is taken
//    as the printer name when it equals the computer name, or when the
//    parent's title is longer and contains it;
//  - the shared block: the page is asked with UM_CONTEXT_REQUEST to publish
//    a SHARED_PRINTER_CONTEXT in the file mapping "ShareMemory", which is
//    copied, and the page is told with UM_CONTEXT_RELEASE that it may free it.

#include <windows.h>

#include "PortConfig.h"

constexpr UINT UM_CONTEXT_REQUEST = 0xBE04;  // sent; non-zero: the block is published
constexpr UINT UM_CONTEXT_RELEASE = 0xBE05;  // posted once the block is read

extern const WCHAR SHARED_CONTEXT_NAME[];  // "ShareMemory"

// The published block: 524 bytes.
#pragma pack(push, 1)
struct SHARED_PRINTER_CONTEXT {
    WCHAR szPrinterName[PORT_TEXT_CHARS];
    BYTE bSupportsTLS;  // non-zero when the model supports TLS
    BYTE bReserved;
};
#pragma pack(pop)
static_assert(sizeof(SHARED_PRINTER_CONTEXT) == 524, "the shared block is 524 bytes");

// Fills szPrinterName and dwSupportsTLS of `record` (and sets
// dwFromSharedBlock to 1 on the shared-block way). FALSE when neither way
// gives a printer.
BOOL FindPrinterContext(HWND owner, PORT_CONFIG* record);

// TRUE exactly when the printer's model key, under HKLM
//   SYSTEM\CurrentControlSet\Control\Print\Printers\<printer>\PrinterDriverData\Model
// holds "SupportsTLS" equal to 1 (read as 4 bytes whatever its type).
BOOL QueryModelSupportsTLS(LPCWSTR printer_name);
