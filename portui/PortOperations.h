#pragma once
// The three port operations of the MONITORUI table. Each returns TRUE on
// success, or FALSE with the thread's last error set:
//   ERROR_CAN_NOT_COMPLETE  no owner window, a remote server (after a message),
//                           or the transceive handle cannot be opened
//   ERROR_OUTOFMEMORY       the transceive name cannot be allocated
//   ERROR_BAD_DEVICE        the calling printer cannot be found
//   ERROR_CANCELLED         the user cancelled a dialog
//   a command's status      the monitor refused a command
//   the dialog's error      a dialog could not be created

#include <windows.h>

// C linkage, as the spooler's headers declare them.
extern "C" {
BOOL WINAPI AddPortUI(PCWSTR pszServer, HWND hWnd, PCWSTR pszMonitorNameIn, PWSTR* ppszPortNameOut);
BOOL WINAPI ConfigurePortUI(PCWSTR pszServer, HWND hWnd, PCWSTR pszPortName);
BOOL WINAPI DeletePortUI(PCWSTR pszServer, HWND hWnd, PCWSTR pszPortName);
}
