// The three port operations of netportui.dll, loaded from the prefix's
// system folder and run against the test port monitor through Wine's
// spooler: the failure table, the commands with their exact buffers and
// order, and the end-to-end flows with dialogs driven from a second thread.
#include <windows.h>
#include <winspool.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PortUiHarness.h"
#include "RecordCheck.h"
#include "ResourceIds.h"
#include "TestMonitor.h"

namespace {

using namespace _UITEST;
using _TESTMON::Bytes;
using _TESTMON::Call;
using _TESTMON::Event;
using _TESTMON::Handle;

const std::wstring MONITOR = _TESTMON::MONITOR_NAME;
const std::wstring PRINTER = L"Label Printer 12";  // the default sheet's printer

// What the record a new port's "SetConfig" carries, before the dialog.
Bytes NewRecord(const std::wstring& port)
{
    Bytes r = _TESTMON::EmptyRecord();
    _TESTMON::PutText(r, _TESTMON::PORT_NAME, port);
    _TESTMON::PutText(r, _TESTMON::PRINTER_NAME, PRINTER);
    _TESTMON::PutDword(r, _TESTMON::PORT_NUMBER, 9100);
    _TESTMON::PutDword(r, _TESTMON::RESERVED_DWORD, 1);
    return r;
}

// A stored port with every field set.
Bytes StoredRecord(const std::wstring& port)
{
    using namespace _TESTMON;
    Bytes r = EmptyRecord();
    PutText(r, PORT_NAME, port);
    PutText(r, RESERVED_TEXT, L"kept by the monitor \x00e9");
    PutText(r, ADDRESS, L"10.100.200.250");
    PutText(r, PRINTER_NAME, L"Old Printer");
    PutDword(r, PORT_NUMBER, 9101);
    PutDword(r, RESERVED_DWORD, 7);
    PutDword(r, FROM_SHARED_BLOCK, 1);
    PutDword(r, SUPPORTS_TLS, 0);
    PutDword(r, TLS_ENABLED, 1);
    PutDword(r, TLS_OPTION, 1);
    return r;
}

Bytes Utf16(const std::wstring& s)
{
    Bytes b(s.size() * sizeof(wchar_t));
    memcpy(b.data(), s.data(), b.size());
    return b;
}

std::vector<std::wstring> Commands()
{
    std::vector<std::wstring> names;
    for (const auto& c : _TESTMON::ReadCommands())
        names.push_back(c.command);
    return names;
}

// Import replacements and what they saw.
struct Hooks {
    static std::vector<SIZE_T> HeapSizes;
    static bool FailHeap;
    static LPVOID WINAPI HeapAllocHook(HANDLE heap, DWORD flags, SIZE_T size)
    {
        HeapSizes.push_back(size);
        if (FailHeap)
            return nullptr;
        return HeapAlloc(heap, flags, size);
    }

    static int GlobalAllocs;
    static bool FailGlobal;
    static HGLOBAL WINAPI GlobalAllocHook(UINT flags, SIZE_T size)
    {
        ++GlobalAllocs;
        return FailGlobal ? nullptr : GlobalAlloc(flags, size);
    }

    static DWORD XcvError;
    static BOOL WINAPI XcvDataHook(HANDLE, PCWSTR, PBYTE, DWORD, PBYTE, DWORD, PDWORD, PDWORD status)
    {
        *status = 0;
        SetLastError(XcvError);
        return FALSE;
    }

    static int FailTemplate;
    static DWORD DialogError;
    static INT_PTR WINAPI DialogHook(HINSTANCE instance, LPCWSTR name, HWND owner, DLGPROC proc, LPARAM param)
    {
        if (name == MAKEINTRESOURCEW(FailTemplate)) {
            SetLastError(DialogError);
            return -1;
        }
        return DialogBoxParamW(instance, name, owner, proc, param);
    }
};
std::vector<SIZE_T> Hooks::HeapSizes;
bool Hooks::FailHeap = false;
int Hooks::GlobalAllocs = 0;
bool Hooks::FailGlobal = false;
DWORD Hooks::XcvError = 0;
int Hooks::FailTemplate = 0;
DWORD Hooks::DialogError = 0;

class Operations : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::wstring error;
        ASSERT_TRUE(_TESTMON::Install(&error)) << Narrow(error);
        ASSERT_TRUE(InstallUi(&error)) << Narrow(error);
    }

    void SetUp() override
    {
        _TESTMON::Reset();
        RemoveDefaultPortNumber();
        RemovePrinterKey(PRINTER);
        ASSERT_TRUE(Ui.Ok()) << "netportui.dll: error " << Ui.LoadError;
    }

    void TearDown() override
    {
        _TESTMON::Reset();
        RemovePrinterKey(PRINTER);
    }

    Driven Add(HWND owner, PWSTR* out, const std::function<void(DialogDriver&)>& script,
               const wchar_t* server = nullptr, const std::wstring& monitor = MONITOR)
    {
        return RunDriven([&] { return Ui.Table->pfnAddPortUI(server, owner, monitor.c_str(), out); }, script);
    }
    Driven Configure(HWND owner, const std::wstring& port, const std::function<void(DialogDriver&)>& script,
                     const wchar_t* server = nullptr)
    {
        return RunDriven([&] { return Ui.Table->pfnConfigurePortUI(server, owner, port.c_str()); }, script);
    }
    Driven Delete(HWND owner, const std::wstring& port, const std::function<void(DialogDriver&)>& script,
                  const wchar_t* server = nullptr)
    {
        return RunDriven([&] { return Ui.Table->pfnDeletePortUI(server, owner, port.c_str()); }, script);
    }

    static void NoDialog(DialogDriver&) {}

    // The name dialog once, with `name`; confirms and checks it closes.
    static void EnterName(DialogDriver& d, const std::wstring& name)
    {
        HWND dlg = d.Wait(Window::NameDialog);
        d.SetText(dlg, IDC_PORTNAME, name);
        d.Press(dlg, IDOK);
        d.WaitGone(dlg);
    }

    LoadedUi Ui;
    TestSheet Sheet;
};

TEST_F(Operations, EntryPointHandsOutTheTable)
{
    ASSERT_TRUE(Ui.Module);
    auto init = reinterpret_cast<PMONITORUI(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(Ui.Module, "InitializePrintMonitorUI")));
    ASSERT_NE(init, nullptr);
    PMONITORUI first = init();
    PMONITORUI second = init();
    EXPECT_EQ(first, second) << "one static table";
    EXPECT_EQ(first->dwMonitorUISize, sizeof(MONITORUI));
    EXPECT_EQ(first->dwMonitorUISize, 32u);
    for (void* f : {reinterpret_cast<void*>(first->pfnAddPortUI), reinterpret_cast<void*>(first->pfnConfigurePortUI),
                    reinterpret_cast<void*>(first->pfnDeletePortUI)}) {
        MEMORY_BASIC_INFORMATION mbi = {};
        ASSERT_TRUE(VirtualQuery(f, &mbi, sizeof(mbi)));
        EXPECT_EQ(mbi.AllocationBase, static_cast<void*>(Ui.Module)) << "operations live in netportui.dll";
    }
}

TEST_F(Operations, NoWindowFailsSilently)
{
    HWND gone = CreateWindowW(L"STATIC", L"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    _TESTMON::SeedPort(L"BW_1", _TESTMON::EmptyRecord());
    for (HWND owner : {HWND(nullptr), gone}) {
        PWSTR out = nullptr;
        for (const Driven& r : {Add(owner, &out, NoDialog), Configure(owner, L"BW_1", NoDialog),
                                Delete(owner, L"BW_1", NoDialog)}) {
            EXPECT_FALSE(r.Result);
            EXPECT_EQ(r.Error, DWORD(ERROR_CAN_NOT_COMPLETE));
            EXPECT_EQ(r.Problem, "") << "a dialog was shown";
        }
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_TRUE(_TESTMON::ReadLog().empty()) << "no handle was opened";
}

TEST_F(Operations, RemoteServerIsRefusedWithAMessage)
{
    const std::wstring caption = LangString(L"enu", IDS_CAPTION);
    struct Case {
        UINT message;
        std::function<Driven(const std::function<void(DialogDriver&)>&)> run;
    };
    for (const wchar_t* server : {L"", L"\\\\printserver"}) {
        const Case cases[] = {
            {IDS_REMOTE_ADD, [&](auto script) { return Add(Sheet.Owner(), nullptr, script, server); }},
            {IDS_REMOTE_CONFIGURE, [&](auto script) { return Configure(Sheet.Owner(), L"BW_1", script, server); }},
            {IDS_REMOTE_DELETE, [&](auto script) { return Delete(Sheet.Owner(), L"BW_1", script, server); }},
        };
        for (const Case& c : cases) {
            std::wstring text, shown_caption;
            Driven r = c.run([&](DialogDriver& d) { text = d.Dismiss(d.Wait(Window::MessageBox), &shown_caption); });
            EXPECT_EQ(r.Problem, "");
            EXPECT_FALSE(r.Result);
            EXPECT_EQ(r.Error, DWORD(ERROR_CAN_NOT_COMPLETE));
            EXPECT_EQ(Narrow(text), Narrow(LangString(L"enu", c.message)));
            EXPECT_EQ(Narrow(shown_caption), Narrow(caption));
        }
    }
    EXPECT_TRUE(_TESTMON::ReadLog().empty()) << "refused before any handle was opened";
}

TEST_F(Operations, TransceiveNamesAreExactAndOpenFailuresReported)
{
    ImportPatch heap(Ui.Module, "KERNEL32.dll", "HeapAlloc", reinterpret_cast<void*>(Hooks::HeapAllocHook));
    ASSERT_TRUE(heap.Ok());
    Hooks::FailHeap = false;

    // Nothing of these names exists: the handles cannot be opened.
    Hooks::HeapSizes.clear();
    Driven r = Configure(Sheet.Owner(), L"BW_12345678", NoDialog);  // 11 characters
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_CAN_NOT_COMPLETE));
    r = Delete(Sheet.Owner(), L"BW_12345678", NoDialog);
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_CAN_NOT_COMPLETE));
    r = Add(Sheet.Owner(), nullptr, NoDialog, nullptr, L"Brenwick 11");  // 11 characters
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_CAN_NOT_COMPLETE));
    // ",XcvPort " + 11 + terminator, ",XcvMonitor " + 11 + terminator.
    EXPECT_EQ(Hooks::HeapSizes, (std::vector<SIZE_T>{21 * 2, 21 * 2, 24 * 2}));

    // The monitor refuses to open: the same error, whatever it said.
    _TESTMON::SeedPort(L"BW_1", _TESTMON::EmptyRecord());
    _TESTMON::FailCommand(L"XcvOpenPort", ERROR_ACCESS_DENIED);
    for (const Driven& f : {Add(Sheet.Owner(), nullptr, NoDialog), Configure(Sheet.Owner(), L"BW_1", NoDialog),
                            Delete(Sheet.Owner(), L"BW_1", NoDialog)}) {
        EXPECT_FALSE(f.Result);
        EXPECT_EQ(f.Error, DWORD(ERROR_CAN_NOT_COMPLETE));
        EXPECT_EQ(f.Problem, "");
    }
    _TESTMON::ClearFailure();
    for (const Call& c : _TESTMON::ReadLog()) {
        EXPECT_EQ(c.event, Event::Open) << "only refused opens";
        EXPECT_EQ(c.access, DWORD(SERVER_ACCESS_ADMINISTER));
    }

    // No memory for the name: nothing is opened.
    _TESTMON::ClearLog();
    Hooks::FailHeap = true;
    for (const Driven& f : {Add(Sheet.Owner(), nullptr, NoDialog), Configure(Sheet.Owner(), L"BW_1", NoDialog),
                            Delete(Sheet.Owner(), L"BW_1", NoDialog)}) {
        EXPECT_FALSE(f.Result);
        EXPECT_EQ(f.Error, DWORD(ERROR_OUTOFMEMORY));
    }
    Hooks::FailHeap = false;
    EXPECT_TRUE(_TESTMON::ReadLog().empty());
}

TEST_F(Operations, DeletePortSendsNameThenPortDeleted)
{
    const std::wstring port = L"BW_10.0.0.9";
    ASSERT_TRUE(_TESTMON::SeedPort(port, StoredRecord(port)));
    Driven r = Delete(Sheet.Owner(), port, NoDialog);
    EXPECT_EQ(r.Problem, "") << "no confirmation is asked";
    EXPECT_TRUE(r.Result) << r.Error;
    EXPECT_FALSE(_TESTMON::PortExists(port));

    auto log = _TESTMON::ReadLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].event, Event::Open);
    EXPECT_EQ(log[0].handle, Handle::Port);
    EXPECT_EQ(log[0].object, port);
    EXPECT_EQ(log[0].access, DWORD(SERVER_ACCESS_ADMINISTER));
    EXPECT_EQ(log[1].command, L"DeletePort");
    EXPECT_EQ(log[1].input, _TESTMON::NameAndTerminator(port));
    EXPECT_TRUE(log[1].output_null);
    EXPECT_EQ(log[2].command, L"PortDeleted");
    EXPECT_TRUE(log[2].input_null);
    EXPECT_TRUE(log[2].output_null);
    EXPECT_EQ(log[3].event, Event::Close);
}

TEST_F(Operations, FailingCommandEndsTheOperationWithItsStatus)
{
    const std::wstring port = L"BW_1";
    // DeletePortUI.
    for (const wchar_t* command : {L"DeletePort", L"PortDeleted"}) {
        _TESTMON::Reset();
        _TESTMON::SeedPort(port, StoredRecord(port));
        _TESTMON::FailCommand(command, ERROR_SHARING_VIOLATION);
        Driven r = Delete(Sheet.Owner(), port, NoDialog);
        EXPECT_FALSE(r.Result);
        EXPECT_EQ(r.Error, DWORD(ERROR_SHARING_VIOLATION)) << Narrow(command) << ", though the handle was closed";
        auto commands = Commands();
        EXPECT_EQ(commands.back(), command) << "nothing sent after the failure";
    }

    // ConfigurePortUI: "GetConfig" fails before any dialog.
    _TESTMON::Reset();
    _TESTMON::SeedPort(port, StoredRecord(port));
    _TESTMON::FailCommand(L"GetConfig", ERROR_NOT_FOUND);
    Driven r = Configure(Sheet.Owner(), port, NoDialog);
    EXPECT_EQ(r.Problem, "");
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_NOT_FOUND));

    // ... "SetConfig" fails after OK.
    _TESTMON::FailCommand(L"SetConfig", ERROR_WRITE_FAULT);
    r = Configure(Sheet.Owner(), port, [](DialogDriver& d) { d.Press(d.Wait(Window::ConfigDialog), IDOK); });
    EXPECT_EQ(r.Problem, "");
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_WRITE_FAULT));

    // AddPortUI, at each of its commands. The undo commands fail on cancel.
    struct AddCase {
        const wchar_t* command;
        bool cancel_config;
        std::vector<std::wstring> sent;
    };
    const AddCase cases[] = {
        {L"PortExists", false, {L"PortExists"}},
        {L"AddPort", false, {L"PortExists", L"AddPort"}},
        {L"SetConfig", false, {L"PortExists", L"AddPort", L"SetConfig"}},
        {L"DeletePort", true, {L"PortExists", L"AddPort", L"DeletePort"}},
        {L"PortDeleted", true, {L"PortExists", L"AddPort", L"DeletePort", L"PortDeleted"}},
    };
    for (const AddCase& c : cases) {
        _TESTMON::Reset();
        _TESTMON::FailCommand(c.command, ERROR_DISK_FULL);
        PWSTR out = nullptr;
        r = Add(Sheet.Owner(), &out, [&](DialogDriver& d) {
            EnterName(d, L"BW_NEW");
            if (c.sent.size() < 3 && !c.cancel_config)
                return;
            HWND cfg = d.Wait(Window::ConfigDialog);
            d.SetText(cfg, IDC_ADDRESS, L"10.1.1.1");
            d.Press(cfg, c.cancel_config ? IDCANCEL : IDOK);
        });
        EXPECT_EQ(r.Problem, "") << Narrow(c.command);
        EXPECT_FALSE(r.Result);
        EXPECT_EQ(r.Error, DWORD(ERROR_DISK_FULL)) << Narrow(c.command);
        EXPECT_EQ(Commands(), c.sent) << Narrow(c.command);
        EXPECT_EQ(out, nullptr);
    }
}

TEST_F(Operations, AddPortRunsNameThenConfiguration)
{
    const std::wstring port = L"BW_10.0.0.7";
    PWSTR out = nullptr;
    std::wstring name_title, config_title, shown_port, shown_number, shown_address;
    bool tls_visible = true;
    int name_focus = 0, config_focus = 0;
    Driven r = Add(Sheet.Owner(), &out, [&](DialogDriver& d) {
        HWND dlg = d.Wait(Window::NameDialog);
        name_title = d.Title(dlg);
        name_focus = d.FocusedControl(dlg);
        EXPECT_EQ(d.Text(dlg, IDC_PORTNAME), L"") << "the edit box starts empty";
        d.SetText(dlg, IDC_PORTNAME, L" \t" + port + L"  ");
        d.Press(dlg, IDOK);
        HWND cfg = d.Wait(Window::ConfigDialog);
        config_title = d.Title(cfg);
        config_focus = d.FocusedControl(cfg);
        shown_port = d.Text(cfg, IDC_PORTNAME);
        shown_address = d.Text(cfg, IDC_ADDRESS);
        shown_number = d.Text(cfg, IDC_PORTNUMBER);
        tls_visible = d.Visible(cfg, IDC_TLS_ENABLE);
        d.SetText(cfg, IDC_ADDRESS, L" printer-1.example\r\n");
        d.SetText(cfg, IDC_PORTNUMBER, L"9101");
        d.Press(cfg, IDOK);
    });
    ASSERT_EQ(r.Problem, "");
    ASSERT_TRUE(r.Result) << r.Error;
    EXPECT_EQ(Narrow(name_title), "TCP/IP Port Monitor 1.0.0 - Add Port");
    EXPECT_EQ(Narrow(config_title), "TCP/IP Port Monitor 1.0.0 - Configure Port");
    EXPECT_EQ(name_focus, IDC_PORTNAME);
    EXPECT_EQ(config_focus, IDC_ADDRESS) << "the first thing to enter, not the read-only name";
    EXPECT_EQ(shown_port, port) << "the trimmed name";
    EXPECT_EQ(shown_address, L"");
    EXPECT_EQ(shown_number, L"9100") << "no DefaultPortNumber value";
    EXPECT_FALSE(tls_visible) << "the printer's model has no SupportsTLS";

    // The caller owns a copy of the name.
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::wstring(out), port);
    EXPECT_GE(GlobalSize(out), (port.size() + 1) * sizeof(wchar_t));
    GlobalFree(out);

    auto log = _TESTMON::ReadLog();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].event, Event::Open);
    EXPECT_EQ(log[0].handle, Handle::Monitor);
    EXPECT_EQ(log[0].object, MONITOR);
    EXPECT_EQ(log[0].access, DWORD(SERVER_ACCESS_ADMINISTER));
    EXPECT_EQ(log[1].command, L"PortExists");
    EXPECT_EQ(log[1].input, _TESTMON::NameField(port)) << "the whole 522-byte field";
    EXPECT_EQ(log[1].output_size, 4u);
    EXPECT_EQ(log[2].command, L"AddPort");
    EXPECT_EQ(log[2].input, _TESTMON::NameField(port));
    EXPECT_TRUE(log[2].output_null);
    EXPECT_EQ(log[3].command, L"SetConfig");
    EXPECT_TRUE(log[3].output_null);
    Bytes want = NewRecord(port);
    _TESTMON::PutText(want, _TESTMON::ADDRESS, L"printer-1.example");
    _TESTMON::PutDword(want, _TESTMON::PORT_NUMBER, 9101);
    EXPECT_EQ(RecordDiff(want, log[3].input), "");
    EXPECT_EQ(log[4].event, Event::Close);
    Bytes stored;
    ASSERT_TRUE(_TESTMON::StoredConfig(port, stored));
    EXPECT_EQ(RecordDiff(want, stored), "");
}

TEST_F(Operations, AddPortAsksAgainWhileTheNameExists)
{
    ASSERT_TRUE(_TESTMON::SeedPort(L"BW_1", StoredRecord(L"BW_1")));
    std::wstring message, reopened_text;
    HWND first = nullptr, second = nullptr;
    Driven r = Add(Sheet.Owner(), nullptr, [&](DialogDriver& d) {
        first = d.Wait(Window::NameDialog);
        d.SetText(first, IDC_PORTNAME, L"BW_1");
        d.Press(first, IDOK);
        message = d.Dismiss(d.Wait(Window::MessageBox));
        second = d.Wait(Window::NameDialog);
        reopened_text = d.Text(second, IDC_PORTNAME);
        d.Press(second, IDCANCEL);
    });
    EXPECT_EQ(r.Problem, "");
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_CANCELLED));
    EXPECT_EQ(Narrow(message), Narrow(LangString(L"enu", IDS_PORT_EXISTS)));
    EXPECT_NE(first, second) << "the name dialog opens anew";
    EXPECT_EQ(reopened_text, L"") << "with an empty edit box";
    EXPECT_EQ(Commands(), std::vector<std::wstring>{L"PortExists"}) << "nothing added";

    // A new name after the refused one goes on to the configuration.
    _TESTMON::ClearLog();
    r = Add(Sheet.Owner(), nullptr, [&](DialogDriver& d) {
        EnterName(d, L"BW_1");
        d.Dismiss(d.Wait(Window::MessageBox));
        EnterName(d, L"BW_2");
        HWND cfg = d.Wait(Window::ConfigDialog);
        d.SetText(cfg, IDC_ADDRESS, L"host");
        d.Press(cfg, IDOK);
    });
    EXPECT_EQ(r.Problem, "");
    EXPECT_TRUE(r.Result) << r.Error;
    EXPECT_EQ(Commands(), (std::vector<std::wstring>{L"PortExists", L"PortExists", L"AddPort", L"SetConfig"}));
    EXPECT_TRUE(_TESTMON::PortExists(L"BW_2"));
}

TEST_F(Operations, CancelledConfigurationTakesTheNewPortBack)
{
    Hooks::GlobalAllocs = 0;
    ImportPatch global(Ui.Module, "KERNEL32.dll", "GlobalAlloc", reinterpret_cast<void*>(Hooks::GlobalAllocHook));
    PWSTR out = nullptr;
    Driven r = Add(Sheet.Owner(), &out, [&](DialogDriver& d) {
        EnterName(d, L"BW_UNDO");
        d.Press(d.Wait(Window::ConfigDialog), IDCANCEL);
    });
    EXPECT_EQ(r.Problem, "");
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_CANCELLED));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(Hooks::GlobalAllocs, 0);
    EXPECT_FALSE(_TESTMON::PortExists(L"BW_UNDO"));
    auto commands = _TESTMON::ReadCommands();
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[2].command, L"DeletePort");
    EXPECT_EQ(commands[2].handle, Handle::Monitor);
    EXPECT_EQ(commands[2].input, _TESTMON::NameAndTerminator(L"BW_UNDO"));
    EXPECT_EQ(commands[3].command, L"PortDeleted");
    EXPECT_TRUE(commands[3].input_null);
}

TEST_F(Operations, PortNameOutput)
{
    Hooks::GlobalAllocs = 0;
    ImportPatch global(Ui.Module, "KERNEL32.dll", "GlobalAlloc", reinterpret_cast<void*>(Hooks::GlobalAllocHook));
    ASSERT_TRUE(global.Ok());
    auto script = [](const std::wstring& name) {
        return [name](DialogDriver& d) {
            EnterName(d, name);
            HWND cfg = d.Wait(Window::ConfigDialog);
            d.SetText(cfg, IDC_ADDRESS, L"10.0.0.1");
            d.Press(cfg, IDOK);
        };
    };
    // No pointer: nothing is allocated.
    Driven r = Add(Sheet.Owner(), nullptr, script(L"BW_A"));
    EXPECT_TRUE(r.Result) << r.Error << r.Problem;
    EXPECT_EQ(Hooks::GlobalAllocs, 0);
    // No memory for the copy: still a success, the pointer NULL.
    Hooks::FailGlobal = true;
    PWSTR out = reinterpret_cast<PWSTR>(1);
    r = Add(Sheet.Owner(), &out, script(L"BW_B"));
    Hooks::FailGlobal = false;
    EXPECT_TRUE(r.Result) << r.Error << r.Problem;
    EXPECT_EQ(Hooks::GlobalAllocs, 1);
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(_TESTMON::PortExists(L"BW_B"));
}

TEST_F(Operations, PrinterNotFoundAfterAddingLeavesThePort)
{
    // A top-level owner: no parent, no page.
    HWND lone = CreateWindowW(L"STATIC", L"Label Printer 12", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                              nullptr, nullptr);
    Driven r = Add(lone, nullptr, [](DialogDriver& d) { EnterName(d, L"BW_LEFT"); });
    DestroyWindow(lone);
    EXPECT_EQ(r.Problem, "") << "no configuration dialog";
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_BAD_DEVICE));
    EXPECT_EQ(Commands(), (std::vector<std::wstring>{L"PortExists", L"AddPort"}));
    EXPECT_TRUE(_TESTMON::PortExists(L"BW_LEFT"));

    // ConfigurePortUI asks the monitor nothing without a printer.
    _TESTMON::ClearLog();
    SheetOptions options;
    options.Title = L"Properties";
    options.Labels = {L"General"};
    TestSheet silent(options);
    r = Configure(silent.Owner(), L"BW_LEFT", NoDialog);
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_BAD_DEVICE));
    EXPECT_EQ(silent.Requests, 1) << "the page was asked for the shared block";
    EXPECT_TRUE(Commands().empty());
}

TEST_F(Operations, DialogThatCannotBeCreatedFailsTheOperation)
{
    ImportPatch dialog(Ui.Module, "USER32.dll", "DialogBoxParamW", reinterpret_cast<void*>(Hooks::DialogHook));
    ASSERT_TRUE(dialog.Ok());
    Hooks::DialogError = ERROR_RESOURCE_NAME_NOT_FOUND;

    // The name dialog: nothing is sent.
    Hooks::FailTemplate = IDD_PORTNAME;
    Driven r = Add(Sheet.Owner(), nullptr, NoDialog);
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_TRUE(Commands().empty());

    // The configuration dialog after "AddPort": taken back as on cancel.
    Hooks::FailTemplate = IDD_PORTCONFIG;
    r = Add(Sheet.Owner(), nullptr, [](DialogDriver& d) { EnterName(d, L"BW_NODLG"); });
    EXPECT_EQ(r.Problem, "");
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(Commands(), (std::vector<std::wstring>{L"PortExists", L"AddPort", L"DeletePort", L"PortDeleted"}));
    EXPECT_FALSE(_TESTMON::PortExists(L"BW_NODLG"));

    // ConfigurePortUI: no "SetConfig" of an unedited record. A dialog error
    // of 0 is reported as ERROR_CAN_NOT_COMPLETE.
    _TESTMON::Reset();
    _TESTMON::SeedPort(L"BW_1", StoredRecord(L"BW_1"));
    Hooks::DialogError = 0;
    r = Configure(Sheet.Owner(), L"BW_1", NoDialog);
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_CAN_NOT_COMPLETE));
    EXPECT_EQ(Commands(), std::vector<std::wstring>{L"GetConfig"});
}

TEST_F(Operations, FailedTransceiveCallReportsItsOwnError)
{
    ASSERT_TRUE(_TESTMON::SeedPort(L"BW_1", StoredRecord(L"BW_1")));
    ImportPatch xcv(Ui.Module, "WINSPOOL.DRV", "XcvDataW", reinterpret_cast<void*>(Hooks::XcvDataHook));
    ASSERT_TRUE(xcv.Ok());
    Hooks::XcvError = ERROR_INVALID_HANDLE;
    Driven r = Delete(Sheet.Owner(), L"BW_1", NoDialog);
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_INVALID_HANDLE));
    Hooks::XcvError = ERROR_SUCCESS;  // no error given: still a failure
    r = Configure(Sheet.Owner(), L"BW_1", NoDialog);
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_CAN_NOT_COMPLETE));
    EXPECT_TRUE(_TESTMON::PortExists(L"BW_1"));
}

TEST_F(Operations, ConfigurePortFromTheWindowTexts)
{
    const std::wstring port = L"BW_CFG";
    ASSERT_TRUE(_TESTMON::SeedPort(port, StoredRecord(port)));
    ASSERT_TRUE(SetModelTls(PRINTER, 1));
    bool enable_checked = false, option_checked = false, option_enabled = false, notes_enabled = false;
    bool option_after_uncheck = true, option_after_recheck = true, option_enabled_after_recheck = false;
    std::wstring shown_address, shown_number;
    Driven r = Configure(Sheet.Owner(), port, [&](DialogDriver& d) {
        HWND cfg = d.Wait(Window::ConfigDialog);
        shown_address = d.Text(cfg, IDC_ADDRESS);
        shown_number = d.Text(cfg, IDC_PORTNUMBER);
        enable_checked = d.Checked(cfg, IDC_TLS_ENABLE);
        option_checked = d.Checked(cfg, IDC_TLS_OPTION);
        option_enabled = d.Enabled(cfg, IDC_TLS_OPTION);
        notes_enabled = d.Enabled(cfg, IDC_TLS_NOTE1) && d.Enabled(cfg, IDC_TLS_NOTE2);
        EXPECT_TRUE(d.Visible(cfg, IDC_TLS_FRAME));
        d.Click(cfg, IDC_TLS_ENABLE);  // off
        option_after_uncheck = d.Checked(cfg, IDC_TLS_OPTION) || d.Enabled(cfg, IDC_TLS_OPTION) ||
                               d.Enabled(cfg, IDC_TLS_NOTE1) || d.Enabled(cfg, IDC_TLS_NOTE2);
        d.Click(cfg, IDC_TLS_ENABLE);  // on again
        option_after_recheck = d.Checked(cfg, IDC_TLS_OPTION);
        option_enabled_after_recheck = d.Enabled(cfg, IDC_TLS_OPTION) && d.Enabled(cfg, IDC_TLS_NOTE1);
        d.Click(cfg, IDC_TLS_OPTION);
        d.SetText(cfg, IDC_ADDRESS, L"192.168.1.10");
        d.Press(cfg, IDOK);
    });
    ASSERT_EQ(r.Problem, "");
    ASSERT_TRUE(r.Result) << r.Error;
    EXPECT_EQ(shown_address, L"10.100.200.250");
    EXPECT_EQ(shown_number, L"9101");
    EXPECT_TRUE(enable_checked && option_checked && option_enabled && notes_enabled) << "as stored";
    EXPECT_FALSE(option_after_uncheck) << "the option follows the TLS box, unchecked";
    EXPECT_FALSE(option_after_recheck);
    EXPECT_TRUE(option_enabled_after_recheck);

    auto log = _TESTMON::ReadLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].handle, Handle::Port);
    EXPECT_EQ(log[0].object, port);
    EXPECT_EQ(log[1].command, L"GetConfig");
    EXPECT_FALSE(log[1].input_null);
    EXPECT_EQ(log[1].input, Utf16(PRINTER)) << "the printer's 16 characters, 32 bytes, no terminator";
    EXPECT_EQ(log[1].output_size, 2112u);
    EXPECT_EQ(log[2].command, L"SetConfig");
    EXPECT_EQ(log[2].handle, Handle::Port);
    // The monitor's own fields come back unchanged; the printer context is
    // the page's; the rest is the dialog's.
    Bytes want = StoredRecord(port);
    _TESTMON::PutText(want, _TESTMON::ADDRESS, L"192.168.1.10");
    _TESTMON::PutText(want, _TESTMON::PRINTER_NAME, PRINTER);
    _TESTMON::PutDword(want, _TESTMON::FROM_SHARED_BLOCK, 0);
    _TESTMON::PutDword(want, _TESTMON::SUPPORTS_TLS, 1);
    EXPECT_EQ(RecordDiff(want, log[2].input), "");
    EXPECT_EQ(log[3].event, Event::Close);
}

TEST_F(Operations, ConfigurePortFromTheSharedBlock)
{
    const std::wstring port = L"BW_SHARED";
    ASSERT_TRUE(_TESTMON::SeedPort(port, StoredRecord(port)));
    SheetOptions options;
    options.Title = L"Printer Properties";
    options.Labels = {L"General printer settings"};  // not in the title: the window way fails
    options.Answer = true;
    options.SharedName = L"Shared Label Printer";
    options.SharedTls = 2;
    TestSheet sheet(options);
    bool tls_visible = false;
    Driven r = Configure(sheet.Owner(), port, [&](DialogDriver& d) {
        HWND cfg = d.Wait(Window::ConfigDialog);
        tls_visible = d.Visible(cfg, IDC_TLS_ENABLE) && d.Visible(cfg, IDC_TLS_OPTION) &&
                      d.Visible(cfg, IDC_TLS_NOTE1) && d.Visible(cfg, IDC_TLS_NOTE2) && d.Visible(cfg, IDC_TLS_FRAME);
        d.Press(cfg, IDOK);
    });
    ASSERT_EQ(r.Problem, "");
    ASSERT_TRUE(r.Result) << r.Error;
    EXPECT_TRUE(tls_visible) << "a flag of 2 means supported";
    sheet.Pump();
    EXPECT_EQ(sheet.Requests, 1);
    EXPECT_EQ(sheet.Releases, 1) << "the page was told the block was read";

    auto commands = _TESTMON::ReadCommands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].command, L"GetConfig");
    EXPECT_TRUE(commands[0].input_null) << "no input when the page published the block";
    Bytes want = StoredRecord(port);
    _TESTMON::PutText(want, _TESTMON::PRINTER_NAME, L"Shared Label Printer");
    _TESTMON::PutDword(want, _TESTMON::FROM_SHARED_BLOCK, 1);
    _TESTMON::PutDword(want, _TESTMON::SUPPORTS_TLS, 2);
    EXPECT_EQ(RecordDiff(want, commands[1].input), "");
}

}  // namespace
