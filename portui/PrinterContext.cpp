#include "PrinterContext.h"

#include <cwchar>

#include "TextFormat.h"

const WCHAR SHARED_CONTEXT_NAME[] = L"ShareMemory";

namespace {

const WCHAR MODEL_KEY_FORMAT_[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\%s\\PrinterDriverData\\Model\\";
constexpr int MODEL_KEY_CHARS_ = 80 + PORT_TEXT_CHARS;
constexpr int COMPUTER_NAME_CHARS_ = MAX_COMPUTERNAME_LENGTH + 1;

struct LabelSearch {
    WCHAR* Text;  // PORT_TEXT_CHARS
    BOOL Found;
};

BOOL CALLBACK FindFirstLabel(HWND window, LPARAM lparam)
{
    auto* search = reinterpret_cast<LabelSearch*>(lparam);
    const int length = GetWindowTextLengthW(window);
    if (length < 1 || length > PORT_TEXT_CHARS - 1)
        return TRUE;
    ZeroMemory(search->Text, PORT_TEXT_CHARS * sizeof(WCHAR));
    GetWindowTextW(window, search->Text, PORT_TEXT_CHARS);
    search->Found = TRUE;
    return FALSE;
}

BOOL GetPage(HWND owner, HWND& parent, HWND& page)
{
    parent = GetParent(owner);
    page = parent ? GetTopWindow(parent) : nullptr;
    return page != nullptr;
}

// Whether the found text names the printer: it is the computer name, or the
// parent's (longer) title contains it.
BOOL AcceptLabel(HWND parent, LPCWSTR text)
{
    WCHAR computer[COMPUTER_NAME_CHARS_] = {};
    DWORD size = COMPUTER_NAME_CHARS_;
    if (GetComputerNameW(computer, &size) && wcscmp(computer, text) == 0)
        return TRUE;

    const int title_length = GetWindowTextLengthW(parent);
    auto* title = static_cast<WCHAR*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (title_length + 1) * sizeof(WCHAR)));
    if (!title) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
    GetWindowTextW(parent, title, title_length + 1);
    const BOOL accepted = lstrlenW(title) > lstrlenW(text) && wcsstr(title, text) != nullptr;
    HeapFree(GetProcessHeap(), 0, title);
    return accepted;
}

BOOL FromWindowTexts(HWND owner, PORT_CONFIG* record)
{
    HWND parent, page;
    if (!GetPage(owner, parent, page))
        return FALSE;
    LabelSearch search = {record->szPrinterName, FALSE};
    EnumChildWindows(page, FindFirstLabel, reinterpret_cast<LPARAM>(&search));
    if (!search.Found || !AcceptLabel(parent, record->szPrinterName))
        return FALSE;
    record->dwSupportsTLS = QueryModelSupportsTLS(record->szPrinterName);
    return TRUE;
}

BOOL FromSharedBlock(HWND owner, PORT_CONFIG* record)
{
    HWND parent, page;
    if (!GetPage(owner, parent, page))
        return FALSE;
    if (SendMessageW(page, UM_CONTEXT_REQUEST, 0, 0) == 0)
        return FALSE;
    HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, SHARED_CONTEXT_NAME);
    if (!mapping)
        return FALSE;
    // A view covers whole pages, so the block's 524 bytes are always
    // readable, however small the mapping was made.
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (!view) {
        CloseHandle(mapping);
        return FALSE;
    }
    SHARED_PRINTER_CONTEXT block;
    CopyMemory(&block, view, sizeof(block));
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    PostMessageW(page, UM_CONTEXT_RELEASE, 0, 0);

    block.szPrinterName[PORT_TEXT_CHARS - 1] = L'\0';
    SetPortText(record->szPrinterName, block.szPrinterName);
    record->dwFromSharedBlock = 1;
    record->dwSupportsTLS = block.bSupportsTLS;
    return TRUE;
}

}  // namespace

BOOL FindPrinterContext(HWND owner, PORT_CONFIG* record)
{
    ZeroMemory(record->szPrinterName, sizeof(record->szPrinterName));
    return FromWindowTexts(owner, record) || FromSharedBlock(owner, record);
}

BOOL QueryModelSupportsTLS(LPCWSTR printer_name)
{
    WCHAR path[MODEL_KEY_CHARS_];
    FormatText(path, MODEL_KEY_FORMAT_, {printer_name});
    HKEY key;
    if (RegOpenKeyW(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS)
        return FALSE;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LONG rc = RegQueryValueExW(key, L"SupportsTLS", nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && value == 1;
}
