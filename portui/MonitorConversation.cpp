#include "MonitorConversation.h"

#include <winspool.h>

#include "ORegistry.h"

const WCHAR XCV_PORT_EXISTS[] = L"PortExists";
const WCHAR XCV_ADD_PORT[] = L"AddPort";
const WCHAR XCV_GET_CONFIG[] = L"GetConfig";
const WCHAR XCV_SET_CONFIG[] = L"SetConfig";
const WCHAR XCV_DELETE_PORT[] = L"DeletePort";
const WCHAR XCV_PORT_DELETED[] = L"PortDeleted";

namespace {

const DWORD DEFAULT_PORT_NUMBER_ = 9100;

}  // namespace

BOOL SendXcvCommand(HANDLE xcv, LPCWSTR command, const void* input, DWORD input_size,
                    void* output, DWORD output_size)
{
    DWORD needed = 0;
    DWORD status = ERROR_SUCCESS;
    if (!XcvDataW(xcv, command, static_cast<PBYTE>(const_cast<void*>(input)), input_size,
                  static_cast<PBYTE>(output), output_size, &needed, &status)) {
        const DWORD error = GetLastError();
        SetLastError(error != ERROR_SUCCESS ? error : ERROR_CAN_NOT_COMPLETE);
        return FALSE;
    }
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteMonitorPort(HANDLE xcv, LPCWSTR port_name)
{
    const DWORD size = static_cast<DWORD>((lstrlenW(port_name) + 1) * sizeof(WCHAR));
    return SendXcvCommand(xcv, XCV_DELETE_PORT, port_name, size, nullptr, 0)
        && SendXcvCommand(xcv, XCV_PORT_DELETED, nullptr, 0, nullptr, 0);
}

DWORD ReadDefaultPortNumber()
{
    OString path(L"PRINT:Monitors");
    path.Append(L"/Brenwick Port/DefaultPortNumber");
    DWORD value = 0;
    if (ORegistry().ReadValue(path, &value) == 4)
        return value;
    return DEFAULT_PORT_NUMBER_;
}
