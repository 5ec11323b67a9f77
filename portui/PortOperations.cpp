#include "PortOperations.h"

#include <memory>

#include "MonitorConversation.h"
#include "PortConfig.h"
#include "PortDialogs.h"
#include "PortMessages.h"
#include "PrinterContext.h"
#include "PrinterHandle.h"
#include "ResourceIds.h"
#include "TextFormat.h"

namespace {

const WCHAR XCV_MONITOR_FORMAT_[] = L",XcvMonitor %ls";
const WCHAR XCV_PORT_FORMAT_[] = L",XcvPort %ls";
constexpr int XCV_MONITOR_PREFIX_ = 12;  // ",XcvMonitor "
constexpr int XCV_PORT_PREFIX_ = 9;      // ",XcvPort "

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// The checks every operation starts with: a window to own the dialogs, and
// the local server only.
BOOL CheckCaller(PCWSTR server, HWND owner, UINT remote_message)
{
    if (!owner || !IsWindow(owner))
        return Fail(ERROR_CAN_NOT_COMPLETE);
    if (server) {
        ShowPortString(owner, remote_message);
        return Fail(ERROR_CAN_NOT_COMPLETE);
    }
    return TRUE;
}

// The transceive name in a process-heap buffer of exactly prefix + name +
// terminator characters; NULL with ERROR_OUTOFMEMORY when it cannot be had.
// The caller frees it with HeapFree.
WCHAR* NewXcvName(LPCWSTR format, int prefix, LPCWSTR name)
{
    const int capacity = prefix + lstrlenW(name) + 1;
    auto* buffer = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, capacity * sizeof(WCHAR)));
    if (!buffer) {
        SetLastError(ERROR_OUTOFMEMORY);
        return nullptr;
    }
    FormatText(buffer, capacity, format, {name});
    return buffer;
}

// The transceive handle every operation works on: NULL, with the last error
// set, when the name buffer cannot be had (ERROR_OUTOFMEMORY) or the spooler
// does not open it (ERROR_CAN_NOT_COMPLETE).
std::unique_ptr<CPrinterHandle> OpenXcv(LPCWSTR format, int prefix, LPCWSTR name)
{
    WCHAR* text = NewXcvName(format, prefix, name);
    if (!text)
        return nullptr;
    auto handle = std::make_unique<CPrinterHandle>(text);
    HeapFree(GetProcessHeap(), 0, text);
    if (!handle->Get()) {
        SetLastError(ERROR_CAN_NOT_COMPLETE);   // kept while the handle closes
        return nullptr;
    }
    return handle;
}

// The name dialog until the monitor has no port of the chosen name.
BOOL AskNewPortName(HWND owner, HANDLE xcv, PORT_CONFIG& record)
{
    for (;;) {
        switch (ShowPortDialog(owner, IDD_PORTNAME, &record)) {
        case DialogResult::Cancelled: return Fail(ERROR_CANCELLED);
        case DialogResult::Failed: return FALSE;
        case DialogResult::Ok: break;
        }
        DWORD exists = 0;
        if (!SendXcvCommand(xcv, XCV_PORT_EXISTS, record.szPortName, sizeof(record.szPortName), &exists,
                            sizeof(exists)))
            return FALSE;
        if (exists == 0)
            return TRUE;
        ShowPortString(owner, IDS_PORT_EXISTS);
    }
}

// Hands the caller a copy of the new port's name it owns (GlobalAlloc); a
// failed allocation leaves NULL and is no failure of the operation.
void ReturnPortName(LPCWSTR name, PWSTR* out)
{
    if (!out)
        return;
    const SIZE_T size = (lstrlenW(name) + 1) * sizeof(WCHAR);
    *out = static_cast<PWSTR>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size));
    if (*out)
        CopyMemory(*out, name, size);
}

}  // namespace

BOOL WINAPI AddPortUI(PCWSTR pszServer, HWND hWnd, PCWSTR pszMonitorNameIn, PWSTR* ppszPortNameOut)
{
    if (!CheckCaller(pszServer, hWnd, IDS_REMOTE_ADD))
        return FALSE;
    const auto xcv = OpenXcv(XCV_MONITOR_FORMAT_, XCV_MONITOR_PREFIX_, pszMonitorNameIn ? pszMonitorNameIn : L"");
    if (!xcv)
        return FALSE;

    PORT_CONFIG record = {};
    record.dwPortNumber = ReadDefaultPortNumber();
    record.dwReserved = 1;
    if (!AskNewPortName(hWnd, xcv->Get(), record))
        return FALSE;
    if (!SendXcvCommand(xcv->Get(), XCV_ADD_PORT, record.szPortName, sizeof(record.szPortName), nullptr, 0))
        return FALSE;
    // From here the port exists. Only a configuration dialog that is
    // cancelled or cannot be shown takes it back.
    if (!FindPrinterContext(hWnd, &record))
        return Fail(ERROR_BAD_DEVICE);

    switch (ShowPortDialog(hWnd, IDD_PORTCONFIG, &record)) {
    case DialogResult::Ok:
        break;
    case DialogResult::Cancelled:
        if (!DeleteMonitorPort(xcv->Get(), record.szPortName))
            return FALSE;
        return Fail(ERROR_CANCELLED);
    case DialogResult::Failed: {
        const DWORD error = GetLastError();
        if (!DeleteMonitorPort(xcv->Get(), record.szPortName))
            return FALSE;
        return Fail(error);
    }
    }
    if (!SendXcvCommand(xcv->Get(), XCV_SET_CONFIG, &record, sizeof(record), nullptr, 0))
        return FALSE;
    ReturnPortName(record.szPortName, ppszPortNameOut);
    return TRUE;
}

BOOL WINAPI ConfigurePortUI(PCWSTR pszServer, HWND hWnd, PCWSTR pszPortName)
{
    if (!CheckCaller(pszServer, hWnd, IDS_REMOTE_CONFIGURE))
        return FALSE;
    const auto xcv = OpenXcv(XCV_PORT_FORMAT_, XCV_PORT_PREFIX_, pszPortName ? pszPortName : L"");
    if (!xcv)
        return FALSE;

    PORT_CONFIG context = {};
    PORT_CONFIG record = {};
    if (!FindPrinterContext(hWnd, &context))
        return Fail(ERROR_BAD_DEVICE);

    // The monitor is told the printer by name, unless the page published it.
    BOOL sent;
    if (context.dwFromSharedBlock) {
        sent = SendXcvCommand(xcv->Get(), XCV_GET_CONFIG, nullptr, 0, &record, sizeof(record));
    } else {
        WCHAR printer[PORT_TEXT_CHARS] = {};
        lstrcpynW(printer, context.szPrinterName, PORT_TEXT_CHARS);
        sent = SendXcvCommand(xcv->Get(), XCV_GET_CONFIG, printer, lstrlenW(printer) * sizeof(WCHAR), &record,
                              sizeof(record));
    }
    if (!sent)
        return FALSE;

    // The printer context is the current page's, never what the monitor kept.
    record.dwFromSharedBlock = context.dwFromSharedBlock;
    CopyMemory(record.szPrinterName, context.szPrinterName, sizeof(record.szPrinterName));
    record.dwSupportsTLS = context.dwSupportsTLS;

    switch (ShowPortDialog(hWnd, IDD_PORTCONFIG, &record)) {
    case DialogResult::Ok: break;
    case DialogResult::Cancelled: return Fail(ERROR_CANCELLED);
    case DialogResult::Failed: return FALSE;
    }
    return SendXcvCommand(xcv->Get(), XCV_SET_CONFIG, &record, sizeof(record), nullptr, 0);
}

BOOL WINAPI DeletePortUI(PCWSTR pszServer, HWND hWnd, PCWSTR pszPortName)
{
    if (!CheckCaller(pszServer, hWnd, IDS_REMOTE_DELETE))
        return FALSE;
    LPCWSTR port = pszPortName ? pszPortName : L"";
    const auto xcv = OpenXcv(XCV_PORT_FORMAT_, XCV_PORT_PREFIX_, port);
    if (!xcv)
        return FALSE;
    return DeleteMonitorPort(xcv->Get(), port);
}
