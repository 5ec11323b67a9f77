#include "PortUiHarness.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "../../common/ImportSlot.h"
#include "ResourceIds.h"
#include "portui_paths.h"  // UI_DLL, UI_ARCHIVE, LANG_DIR, TEST_ARCHIVE_DIR

namespace _UITEST {

namespace {

constexpr DWORD WAIT_MS_ = 10000;
constexpr DWORD STEP_MS_ = 20;
constexpr int MESSAGE_TEXT_ID_ = 0xFFFF;  // the text of a message box

const wchar_t PRINTERS_KEY_[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";
const wchar_t PORT_MONITOR_KEY_[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Brenwick Port";

std::wstring SystemDir()
{
    wchar_t dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir, n);
}

bool SameBytes(const std::wstring& a, const std::wstring& b)
{
    auto x = ReadAll(a);
    return !x.empty() && x == ReadAll(b);
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

bool IsKind(HWND w, Window kind)
{
    if (ClassOf(w) != L"#32770")
        return false;
    const bool name = GetDlgItem(w, IDC_PORTNAME) != nullptr;
    const bool config = GetDlgItem(w, IDC_ADDRESS) != nullptr;
    switch (kind) {
    case Window::NameDialog: return name && !config;
    case Window::ConfigDialog: return config;
    case Window::MessageBox: return !name && !config && GetDlgItem(w, MESSAGE_TEXT_ID_) != nullptr;
    }
    return false;
}

std::vector<HWND> ThreadDialogs(DWORD thread)
{
    std::vector<HWND> found;
    EnumThreadWindows(
        thread,
        [](HWND w, LPARAM l) -> BOOL {
            if (IsWindowVisible(w) && ClassOf(w) == L"#32770")
                reinterpret_cast<std::vector<HWND>*>(l)->push_back(w);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

const char* KindName(Window kind)
{
    switch (kind) {
    case Window::NameDialog: return "the port name dialog";
    case Window::ConfigDialog: return "the port configuration dialog";
    case Window::MessageBox: return "a message box";
    }
    return "?";
}

// Ends whatever dialog the thread shows: message boxes with OK, dialogs
// with Cancel.
void CancelAll(DWORD thread)
{
    for (HWND w : ThreadDialogs(thread))
        PostMessageW(w, WM_COMMAND, IsKind(w, Window::MessageBox) ? IDOK : IDCANCEL, 0);
}

std::wstring WindowText(HWND w)
{
    if (!w)
        return {};
    wchar_t text[1024] = {};
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(w, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 5000, &ignored);
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------

std::wstring BuiltUiDll() { return UI_DLL; }
std::wstring BuiltArchive() { return UI_ARCHIVE; }
std::wstring LangModule(const std::wstring& tag) { return std::wstring(LANG_DIR) + L"\\bwtcpipmon[" + tag + L"].dll"; }
std::wstring TestArchive(const std::wstring& name) { return std::wstring(TEST_ARCHIVE_DIR) + L"\\" + name + L".ddz"; }
std::wstring SystemFile(const std::wstring& name) { return SystemDir() + L"\\" + name; }

std::vector<BYTE> ReadAll(const std::wstring& path)
{
    std::vector<BYTE> out;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return out;
    BYTE buf[65536];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof(buf), &got, nullptr) && got)
        out.insert(out.end(), buf, buf + got);
    CloseHandle(f);
    return out;
}

bool InstallSystemFile(const std::wstring& source, const std::wstring& name, std::wstring* error)
{
    const std::wstring target = SystemFile(name);
    if (source.empty()) {
        if (!DeleteFileW(target.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
            if (error)
                *error = L"cannot remove " + target;
            return false;
        }
        return true;
    }
    if (SameBytes(source, target))
        return true;
    // Beside the target first, then renamed over it: a copy that is mapped
    // somewhere is never rewritten in place.
    const std::wstring temp = target + L".new";
    if (!CopyFileW(source.c_str(), temp.c_str(), FALSE) ||
        !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        if (error)
            *error = L"cannot install " + source + L" as " + target + L" (error " +
                     std::to_wstring(GetLastError()) + L")";
        return false;
    }
    return true;
}

bool InstallUi(std::wstring* error, const std::wstring& archive)
{
    return InstallSystemFile(BuiltUiDll(), L"netportui.dll", error) &&
           InstallSystemFile(archive, L"bwtcpipmon.ddz", error);
}

LoadedUi::LoadedUi()
{
    Module = LoadLibraryW(SystemFile(L"netportui.dll").c_str());
    if (!Module) {
        LoadError = GetLastError();
        return;
    }
    auto init = reinterpret_cast<PMONITORUI(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(Module, "InitializePrintMonitorUI")));
    if (init)
        Table = init();
}

LoadedUi::~LoadedUi() { Unload(); }

bool LoadedUi::Unload()
{
    if (Module) {
        FreeLibrary(Module);
        Module = nullptr;
        Table = nullptr;
    }
    return GetModuleHandleW(L"netportui.dll") == nullptr;
}

std::wstring LangString(const std::wstring& tag, UINT id)
{
    HMODULE m = LoadLibraryExW(LangModule(tag).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!m)
        return L"<no module " + tag + L">";
    wchar_t text[512] = {};
    LoadStringW(m, id, text, 512);
    FreeLibrary(m);
    return text;
}

std::vector<std::wstring> LanguageTempFiles()
{
    wchar_t dir[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, dir);
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((std::wstring(dir, n) + L"bw#*.tmp").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return files;
    do
        files.push_back(std::wstring(dir, n) + data.cFileName);
    while (FindNextFileW(find, &data));
    FindClose(find);
    return files;
}

std::string Narrow(const std::wstring& w)
{
    if (w.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

// ---------------------------------------------------------------------------

HWND DialogDriver::Wait(Window kind)
{
    for (DWORD waited = 0; waited < WAIT_MS_; waited += STEP_MS_) {
        for (HWND w : ThreadDialogs(Thread_)) {
            if (!IsWindowEnabled(w) || !IsKind(w, kind))
                continue;
            DWORD_PTR ignored = 0;
            if (SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored) && IsWindowVisible(w) &&
                IsWindowEnabled(w))
                return w;
        }
        Sleep(STEP_MS_);
    }
    std::string open;
    for (HWND w : ThreadDialogs(Thread_))
        open += " [" + Narrow(WindowText(w)) + "]";
    throw DriverError(std::string("timed out waiting for ") + KindName(kind) + "; open:" + open);
}

void DialogDriver::WaitGone(HWND window)
{
    for (DWORD waited = 0; waited < WAIT_MS_; waited += STEP_MS_) {
        if (!IsWindow(window) || !IsWindowVisible(window))
            return;
        Sleep(STEP_MS_);
    }
    throw DriverError("a window did not close: " + Narrow(WindowText(window)));
}

void DialogDriver::Settle(HWND window)
{
    // For a window of another thread, RDW_UPDATENOW sends WM_PAINT and waits.
    if (!RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN))
        throw DriverError("cannot bring a window up to date");
}

std::wstring DialogDriver::Title(HWND window) const { return WindowText(window); }

std::wstring DialogDriver::Text(HWND dialog, int control) const { return WindowText(GetDlgItem(dialog, control)); }

bool DialogDriver::Exists(HWND dialog, int control) const { return GetDlgItem(dialog, control) != nullptr; }

bool DialogDriver::Visible(HWND dialog, int control) const
{
    HWND item = GetDlgItem(dialog, control);
    return item && (GetWindowLongW(item, GWL_STYLE) & WS_VISIBLE);
}

bool DialogDriver::Enabled(HWND dialog, int control) const
{
    HWND item = GetDlgItem(dialog, control);
    return item && IsWindowEnabled(item);
}

bool DialogDriver::Checked(HWND dialog, int control) const
{
    HWND item = GetDlgItem(dialog, control);
    DWORD_PTR state = 0;
    if (!item || !SendMessageTimeoutW(item, BM_GETCHECK, 0, 0, SMTO_NORMAL, 5000, &state))
        return false;
    return state == BST_CHECKED;
}

int DialogDriver::FocusedControl(HWND dialog) const
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(Thread_, &info) || !info.hwndFocus || GetParent(info.hwndFocus) != dialog)
        return 0;
    return GetDlgCtrlID(info.hwndFocus);
}

void DialogDriver::SetText(HWND dialog, int control, const std::wstring& text)
{
    HWND item = GetDlgItem(dialog, control);
    DWORD_PTR ignored = 0;
    if (!item || !SendMessageTimeoutW(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL,
                                      5000, &ignored))
        throw DriverError("cannot set the text of control " + std::to_string(control));
}

void DialogDriver::Press(HWND dialog, int control)
{
    if (!PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(control, BN_CLICKED),
                      reinterpret_cast<LPARAM>(GetDlgItem(dialog, control))))
        throw DriverError("cannot press button " + std::to_string(control));
}

void DialogDriver::Click(HWND dialog, int control)
{
    HWND item = GetDlgItem(dialog, control);
    DWORD_PTR ignored = 0;
    if (!item || !SendMessageTimeoutW(item, BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &ignored))
        throw DriverError("cannot click button " + std::to_string(control));
}

std::wstring DialogDriver::Dismiss(HWND box, std::wstring* caption)
{
    if (caption)
        *caption = Title(box);
    std::wstring text = Text(box, MESSAGE_TEXT_ID_);
    Press(box, IDOK);
    WaitGone(box);
    return text;
}

Driven RunDriven(const std::function<BOOL()>& operation, const std::function<void(DialogDriver&)>& script)
{
    Driven out;
    const DWORD ui = GetCurrentThreadId();
    std::atomic<bool> done(false);
    std::thread driver([&] {
        DialogDriver d(ui);
        try {
            script(d);
        } catch (const std::exception& e) {
            out.Problem = e.what();
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS_);
        while (!done) {
            if (!out.Problem.empty() || std::chrono::steady_clock::now() > deadline) {
                if (out.Problem.empty())
                    out.Problem = "the operation did not return after the script ended";
                CancelAll(ui);
            }
            Sleep(STEP_MS_);
        }
    });
    out.Result = operation();
    out.Error = GetLastError();
    done = true;
    driver.join();
    return out;
}

// ---------------------------------------------------------------------------

TestSheet::TestSheet(const SheetOptions& options) : Options_(options)
{
    static const ATOM sheet_class = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"ZpTestSheet";
        return RegisterClassW(&wc);
    }();
    static const ATOM page_class = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = PageProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"ZpTestPage";
        return RegisterClassW(&wc);
    }();
    (void)sheet_class;
    (void)page_class;
    Sheet_ = CreateWindowExW(0, L"ZpTestSheet", Options_.Title.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 400, 300,
                             nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    Page_ = CreateWindowExW(0, L"ZpTestPage", L"", WS_CHILD | WS_VISIBLE, 0, 0, 380, 260, Sheet_, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(Page_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    int y = 0;
    for (const auto& label : Options_.Labels) {
        CreateWindowExW(0, L"STATIC", label.c_str(), WS_CHILD | WS_VISIBLE, 0, y, 300, 20, Page_, nullptr,
                        GetModuleHandleW(nullptr), nullptr);
        y += 24;
    }
    // A second page after the first, as a sheet has.
    CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 380, 260, Sheet_, nullptr, GetModuleHandleW(nullptr),
                    nullptr);
}

TestSheet::~TestSheet()
{
    if (Mapping_)
        CloseHandle(Mapping_);
    DestroyWindow(Sheet_);
}

void TestSheet::Pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

LRESULT CALLBACK TestSheet::PageProc(HWND w, UINT message, WPARAM wparam, LPARAM lparam)
{
    auto* self = reinterpret_cast<TestSheet*>(GetWindowLongPtrW(w, GWLP_USERDATA));
    if (self && message == UM_CONTEXT_REQUEST) {
        ++self->Requests;
        if (!self->Options_.Answer)
            return 0;
        if (self->Options_.Publish && !self->Mapping_) {
            self->Mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 524, L"ShareMemory");
            if (auto* view = static_cast<BYTE*>(MapViewOfFile(self->Mapping_, FILE_MAP_ALL_ACCESS, 0, 0, 0))) {
                std::memset(view, 0, 524);
                std::memcpy(view, self->Options_.SharedName.c_str(),
                            std::min<size_t>(self->Options_.SharedName.size(), 261) * sizeof(wchar_t));
                view[522] = self->Options_.SharedTls;
                view[523] = 0x5A;
                UnmapViewOfFile(view);
            }
        }
        return 1;
    }
    if (self && message == UM_CONTEXT_RELEASE) {
        ++self->Releases;
        if (self->Mapping_) {
            CloseHandle(self->Mapping_);
            self->Mapping_ = nullptr;
        }
        return 0;
    }
    return DefWindowProcW(w, message, wparam, lparam);
}

// ---------------------------------------------------------------------------

bool SetModelValue(const std::wstring& printer, DWORD type, const void* data, DWORD size)
{
    const std::wstring key = std::wstring(PRINTERS_KEY_) + printer + L"\\PrinterDriverData\\Model";
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"SupportsTLS", type, data, size) == ERROR_SUCCESS;
}

bool SetModelTls(const std::wstring& printer, DWORD value)
{
    return SetModelValue(printer, REG_DWORD, &value, sizeof(value));
}

void RemovePrinterKey(const std::wstring& printer)
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(PRINTERS_KEY_) + printer).c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(PRINTERS_KEY_) + printer).c_str());
}

bool SetDefaultPortNumber(DWORD type, const void* data, DWORD size)
{
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, PORT_MONITOR_KEY_, L"DefaultPortNumber", type, data, size) ==
           ERROR_SUCCESS;
}

void RemoveDefaultPortNumber() { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, PORT_MONITOR_KEY_, L"DefaultPortNumber"); }

// ---------------------------------------------------------------------------

ImportPatch::ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement)
    : Slot_(FindImportSlot(module, dll, function))
{
    if (Slot_)
        Original_ = ExchangeImportSlot(Slot_, replacement);
}

ImportPatch::~ImportPatch()
{
    if (Slot_)
        ExchangeImportSlot(Slot_, Original_);
}

}  // namespace _UITEST
