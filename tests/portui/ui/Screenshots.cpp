// portui_screenshots FOLDER NAME: shows both port dialogs of netportui.dll,
// as AddPortUI opens them for a printer whose model supports TLS, and saves
// each window as a 24-bit BMP: FOLDER\NAME-portname.bmp and
// FOLDER\NAME-portconfig.bmp. Run by scripts/screenshots on a real (Xvfb)
// display, once per language; the language is the process's locale.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "PortUiHarness.h"
#include "ResourceIds.h"
#include "TestMonitor.h"

namespace {

using namespace _UITEST;

// The window as it is on the screen, frame included.
bool SaveWindow(HWND window, const std::wstring& path)
{
    RECT rect;
    if (!GetWindowRect(window, &rect))
        return false;
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY | CAPTUREBLT);
    SelectObject(memory, old);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;  // bottom-up, as BMP files store it
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD stride = (width * 3 + 3) & ~3u;
    std::vector<BYTE> pixels(stride * height);
    const int lines = GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
                                DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (lines != height)
        return false;

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + DWORD(pixels.size());
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(f, &file, sizeof(file), &written, nullptr) &&
              WriteFile(f, &info, sizeof(info), &written, nullptr) &&
              WriteFile(f, pixels.data(), DWORD(pixels.size()), &written, nullptr);
    CloseHandle(f);
    return ok;
}

// Brings the dialog to the front and lets it finish painting before it is
// captured; the caret goes behind the text of the focused edit box.
void Settle(HWND window, int edit)
{
    SetForegroundWindow(window);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(GetDlgItem(window, edit), EM_SETSEL, 0x7FFF, 0x7FFF, SMTO_NORMAL, 5000, &ignored);
    for (int i = 0; i < 5; ++i) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored);
        Sleep(200);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: portui_screenshots FOLDER NAME\n");
        return 2;
    }
    const std::wstring base = std::wstring(argv[1]) + L"\\" + argv[2];
    std::wstring error;
    if (!_TESTMON::Install(&error) || !InstallUi(&error)) {
        std::fprintf(stderr, "install: %s\n", Narrow(error).c_str());
        return 1;
    }
    SetModelTls(L"Label Printer 12", 1);
    int failures = 0;
    {
        LoadedUi ui;
        if (!ui.Ok()) {
            std::fprintf(stderr, "netportui.dll does not load: error %lu\n", ui.LoadError);
            return 1;
        }
        TestSheet sheet;
        Driven r = RunDriven(
            [&] { return ui.Table->pfnAddPortUI(nullptr, sheet.Owner(), _TESTMON::MONITOR_NAME, nullptr); },
            [&](DialogDriver& d) {
                HWND name = d.Wait(Window::NameDialog);
                d.SetText(name, IDC_PORTNAME, L"BW_192.168.1.10");
                Settle(name, IDC_PORTNAME);
                if (!SaveWindow(name, base + L"-portname.bmp"))
                    ++failures;
                d.Press(name, IDOK);
                HWND config = d.Wait(Window::ConfigDialog);
                d.SetText(config, IDC_ADDRESS, L"192.168.1.10");
                d.Click(config, IDC_TLS_ENABLE);
                Settle(config, IDC_ADDRESS);
                if (!SaveWindow(config, base + L"-portconfig.bmp"))
                    ++failures;
                d.Press(config, IDCANCEL);
            });
        if (!r.Problem.empty()) {
            std::fprintf(stderr, "%s\n", r.Problem.c_str());
            ++failures;
        }
    }
    RemovePrinterKey(L"Label Printer 12");
    _TESTMON::Reset();
    return failures ? 1 : 0;
}
