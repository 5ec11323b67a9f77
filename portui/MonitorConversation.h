#pragma once
// The conversation with the port monitor over the spooler's transceive
// channel: one XcvDataW call per command, judged by the status word the
// monitor fills.
//
// Commands and their buffers:
//   "PortExists"  monitor  in: szPortName field (522 bytes)  out: DWORD, non-zero = exists
//   "AddPort"     monitor  in: szPortName field (522 bytes)
//   "GetConfig"   port     in: none, or the printer name without terminator  out: PORT_CONFIG
//   "SetConfig"   either   in: PORT_CONFIG (2112 bytes); on the monitor handle
//                          the record's szPortName names the port
//   "DeletePort"  either   in: port name and terminator
//   "PortDeleted" the same handle, right after a successful "DeletePort"

#include <windows.h>

extern const WCHAR XCV_PORT_EXISTS[];
extern const WCHAR XCV_ADD_PORT[];
extern const WCHAR XCV_GET_CONFIG[];
extern const WCHAR XCV_SET_CONFIG[];
extern const WCHAR XCV_DELETE_PORT[];
extern const WCHAR XCV_PORT_DELETED[];

// Sends one command. TRUE when XcvDataW succeeds and the monitor's status
// is ERROR_SUCCESS. Otherwise FALSE with the last error set to the status,
// or, when XcvDataW itself fails, to its error (ERROR_CAN_NOT_COMPLETE when
// it gives none).
BOOL SendXcvCommand(HANDLE xcv, LPCWSTR command, const void* input, DWORD input_size,
                    void* output, DWORD output_size);

// "DeletePort" with the name and its terminator, then "PortDeleted".
BOOL DeleteMonitorPort(HANDLE xcv, LPCWSTR port_name);

// The TCP port number a new port starts with: the 4-byte value
// "DefaultPortNumber" of HKLM\SYSTEM\CurrentControlSet\Control\Print\Monitors\Brenwick Port,
// whatever its registry type; 9100 when there is no such
// value or it is not exactly 4 bytes long. Not range-checked.
DWORD ReadDefaultPortNumber();
