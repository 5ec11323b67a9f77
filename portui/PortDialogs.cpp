#include "PortDialogs.h"

#include "ModuleState.h"
#include "PortInput.h"
#include "PortMessages.h"
#include "ResourceIds.h"
#include "TextFormat.h"

namespace {

const WCHAR TITLE_FORMAT_[] = L"TCP/IP Port Monitor %s - %s";
const WCHAR VERSION_[] = L"1.0.0";
constexpr int TITLE_CHARS_ = 256;
constexpr int PORT_NUMBER_CHARS_ = 16;

// The record a dialog edits lives with the dialog (its DWLP_USER slot, set
// at WM_INITDIALOG), so dialogs open at once on several threads of one
// process each edit their own.
void KeepRecord(HWND dialog, LPARAM record)
{
    SetWindowLongPtrW(dialog, DWLP_USER, record);
}

PORT_CONFIG* RecordOf(HWND dialog)
{
    return reinterpret_cast<PORT_CONFIG*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

// "TCP/IP Port Monitor 1.0.0 - <template caption>".
void SetDialogTitle(HWND dialog)
{
    WCHAR caption[TITLE_CHARS_] = {};
    GetWindowTextW(dialog, caption, TITLE_CHARS_);
    WCHAR title[TITLE_CHARS_];
    FormatText(title, TITLE_FORMAT_, {VERSION_, caption});
    SetWindowTextW(dialog, title);
}

// Controls a template lacks are skipped.
void EnableItem(HWND dialog, int control, BOOL enable)
{
    if (HWND item = GetDlgItem(dialog, control))
        EnableWindow(item, enable);
}

void HideItem(HWND dialog, int control)
{
    if (HWND item = GetDlgItem(dialog, control)) {
        EnableWindow(item, FALSE);
        ShowWindow(item, SW_HIDE);
    }
}

void CheckItem(HWND dialog, int control, BOOL check)
{
    if (GetDlgItem(dialog, control))
        CheckDlgButton(dialog, control, check ? BST_CHECKED : BST_UNCHECKED);
}

DWORD IsItemChecked(HWND dialog, int control)
{
    return GetDlgItem(dialog, control) && IsDlgButtonChecked(dialog, control) == BST_CHECKED ? 1 : 0;
}

void SetFocusTo(HWND dialog, int control)
{
    if (HWND item = GetDlgItem(dialog, control))
        SetFocus(item);
}

// IDOK of the name dialog.
void ConfirmPortName(HWND dialog)
{
    PORT_CONFIG* record = RecordOf(dialog);
    if (!record)
        return;
    GetTrimmedItemText(dialog, IDC_PORTNAME, record->szPortName, PORT_TEXT_CHARS);
    if (IsValidPortName(record->szPortName)) {
        EndDialog(dialog, IDOK);
        return;
    }
    ShowPortString(dialog, IDS_BAD_PORT_NAME);
    SetFocusTo(dialog, IDC_PORTNAME);
}

void InitPortConfig(HWND dialog, PORT_CONFIG* record)
{
    SetDlgItemTextW(dialog, IDC_PORTNAME, record->szPortName);
    SetDlgItemTextW(dialog, IDC_ADDRESS, record->szAddress);
    SetFocusTo(dialog, IDC_ADDRESS);
    WCHAR number[PORT_NUMBER_CHARS_];
    FormatText(number, L"%u", {record->dwPortNumber});
    SetDlgItemTextW(dialog, IDC_PORTNUMBER, number);

    if (record->dwSupportsTLS == 0) {
        HideItem(dialog, IDC_TLS_ENABLE);
        HideItem(dialog, IDC_TLS_OPTION);
        HideItem(dialog, IDC_TLS_NOTE1);
        HideItem(dialog, IDC_TLS_NOTE2);
        HideItem(dialog, IDC_TLS_FRAME);
        return;
    }
    const BOOL enabled = record->dwTLSEnabled != 0;
    CheckItem(dialog, IDC_TLS_ENABLE, enabled);
    CheckItem(dialog, IDC_TLS_OPTION, enabled && record->dwTLSOption != 0);
    EnableItem(dialog, IDC_TLS_OPTION, enabled);
    EnableItem(dialog, IDC_TLS_NOTE1, enabled);
    EnableItem(dialog, IDC_TLS_NOTE2, enabled);
}

// BN_CLICKED of IDC_TLS_ENABLE: the option follows the box, unchecked.
void TlsEnableClicked(HWND dialog)
{
    const BOOL enabled = IsItemChecked(dialog, IDC_TLS_ENABLE);
    EnableItem(dialog, IDC_TLS_OPTION, enabled);
    EnableItem(dialog, IDC_TLS_NOTE1, enabled);
    EnableItem(dialog, IDC_TLS_NOTE2, enabled);
    CheckItem(dialog, IDC_TLS_OPTION, FALSE);
}

// IDOK of the configuration dialog. Fields are stored as they are checked,
// so a refused port number leaves the address and TLS choices stored; a
// cancel discards the record anyway.
void ConfirmPortConfig(HWND dialog)
{
    PORT_CONFIG* record = RecordOf(dialog);
    if (!record)
        return;
    WCHAR address[PORT_TEXT_CHARS];
    GetTrimmedItemText(dialog, IDC_ADDRESS, address, PORT_TEXT_CHARS);
    if (!IsValidPortAddress(address)) {
        const bool dotted = address[0] >= L'0' && address[0] <= L'9';
        WCHAR format[PORT_STRING_CHARS];
        LoadPortString(dotted ? IDS_BAD_IP_ADDRESS : IDS_BAD_HOST_NAME, format);
        WCHAR text[PORT_STRING_CHARS];
        FormatText(text, format, {address});
        ShowPortMessage(dialog, text);
        return;
    }
    SetPortText(record->szAddress, address);
    record->dwTLSEnabled = IsItemChecked(dialog, IDC_TLS_ENABLE);
    record->dwTLSOption = IsItemChecked(dialog, IDC_TLS_OPTION);

    WCHAR number_text[PORT_NUMBER_CHARS_];
    GetTrimmedItemText(dialog, IDC_PORTNUMBER, number_text, PORT_NUMBER_CHARS_);
    const DWORD number = ParsePortNumber(number_text);
    if (number == 0 || number > 65535) {
        ShowPortString(dialog, IDS_BAD_PORT_NUMBER);
        return;
    }
    record->dwPortNumber = number;
    EndDialog(dialog, IDOK);
}

}  // namespace

void GetTrimmedItemText(HWND dialog, int control, WCHAR* buffer, int capacity)
{
    buffer[0] = L'\0';
    GetDlgItemTextW(dialog, control, buffer, capacity);
    const int length = TrimPortText(buffer);
    // The buffer may be a record's text field: nothing of the untrimmed
    // text may stay behind the terminator.
    ZeroMemory(buffer + length, (capacity - length) * sizeof(WCHAR));
    SetDlgItemTextW(dialog, control, buffer);
}

INT_PTR CALLBACK PortNameDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        SetDialogTitle(dialog);
        KeepRecord(dialog, lparam);
        SetFocusTo(dialog, IDC_PORTNAME);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDOK:
            ConfirmPortName(dialog);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

INT_PTR CALLBACK PortConfigDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        SetDialogTitle(dialog);
        KeepRecord(dialog, lparam);
        if (PORT_CONFIG* record = RecordOf(dialog))
            InitPortConfig(dialog, record);
        // The focus is on the address now; TRUE would move it to the first
        // control of the tab order, the read-only port name.
        return FALSE;
    case WM_CTLCOLORSTATIC: {
        const int control = GetDlgCtrlID(reinterpret_cast<HWND>(lparam));
        if (control != IDC_TLS_NOTE1 && control != IDC_TLS_NOTE2)
            return FALSE;
        HDC dc = reinterpret_cast<HDC>(wparam);
        SetTextColor(dc, RGB(255, 0, 0));
        SetBkMode(dc, TRANSPARENT);
        return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
    }
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDC_TLS_ENABLE:
            if (HIWORD(wparam) == BN_CLICKED)
                TlsEnableClicked(dialog);
            return TRUE;
        case IDOK:
            ConfirmPortConfig(dialog);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    }
    return FALSE;
}

DialogResult ShowPortDialog(HWND owner, int template_id, PORT_CONFIG* record)
{
    DLGPROC procedure = template_id == IDD_PORTNAME ? PortNameDlgProc : PortConfigDlgProc;
    SetLastError(ERROR_SUCCESS);
    const INT_PTR result = DialogBoxParamW(GetResourceInstance(), MAKEINTRESOURCEW(template_id), owner,
                                           procedure, reinterpret_cast<LPARAM>(record));
    if (result == IDOK)
        return DialogResult::Ok;
    if (result == IDCANCEL)
        return DialogResult::Cancelled;
    const DWORD error = GetLastError();
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_CAN_NOT_COMPLETE);
    return DialogResult::Failed;
}
