#pragma once
// The two port dialogs. Both edit a PORT_CONFIG in place: the caller passes
// the record as the dialog's initialisation parameter and reads it after
// the dialog ends with IDOK. Templates, captions and texts come from the
// language module.
//
// Each dialog keeps the address of the record it edits with itself
// (DWLP_USER), so any number of them may be open at once.

#include <windows.h>

#include "PortConfig.h"

// IDD_PORTNAME: asks for a new port's name (trimmed, not empty, no
// backslash) and writes it into szPortName.
INT_PTR CALLBACK PortNameDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// IDD_PORTCONFIG: edits szAddress, dwPortNumber, dwTLSEnabled and
// dwTLSOption; shows the TLS controls only when dwSupportsTLS is non-zero.
INT_PTR CALLBACK PortConfigDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// Reads a control's text (at most capacity - 1 characters), trims CR, LF,
// space and tab at both ends, writes the trimmed text back into the control
// and leaves it in `buffer`.
void GetTrimmedItemText(HWND dialog, int control, WCHAR* buffer, int capacity);

enum class DialogResult { Ok, Cancelled, Failed };

// Shows one of the two templates modally over `owner`. Failed means the
// dialog could not be created (DialogBoxParamW gave neither IDOK nor
// IDCANCEL); the last error is then that call's error, or
// ERROR_CAN_NOT_COMPLETE when it set none.
DialogResult ShowPortDialog(HWND owner, int template_id, PORT_CONFIG* record);
