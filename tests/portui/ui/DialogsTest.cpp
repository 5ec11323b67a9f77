// The port dialogs of netportui.dll as the user meets them: the checks of
// port names, addresses and port numbers with their messages, the TLS
// controls, and the port number a new port starts with.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PortUiHarness.h"
#include "RecordCheck.h"
#include "ResourceIds.h"
#include "TestMonitor.h"

namespace {

using namespace _UITEST;
using _TESTMON::Bytes;

const std::wstring PORT = L"BW_DLG";
const std::wstring PRINTER = L"Label Printer 12";

// An English message with its "%s" filled.
std::string Message(UINT id, const std::wstring& address = L"")
{
    std::wstring text = LangString(L"enu", id);
    size_t at = text.find(L"%s");
    if (at != std::wstring::npos)
        text.replace(at, 2, address);
    return Narrow(text);
}

Bytes Stored(DWORD tls_enabled, DWORD tls_option, const std::wstring& port = PORT)
{
    using namespace _TESTMON;
    Bytes r = EmptyRecord();
    PutText(r, PORT_NAME, port);
    PutText(r, ADDRESS, L"10.0.0.5");
    PutDword(r, PORT_NUMBER, 9101);
    PutDword(r, TLS_ENABLED, tls_enabled);
    PutDword(r, TLS_OPTION, tls_option);
    return r;
}

class Dialogs : public ::testing::Test {
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
        ASSERT_TRUE(Ui.Ok());
        ASSERT_TRUE(_TESTMON::SeedPort(PORT, Stored(0, 0)));
    }
    void TearDown() override
    {
        _TESTMON::Reset();
        RemoveDefaultPortNumber();
        RemovePrinterKey(PRINTER);
    }

    Driven Add(const std::function<void(DialogDriver&)>& script)
    {
        return RunDriven([&] { return Ui.Table->pfnAddPortUI(nullptr, Sheet.Owner(), _TESTMON::MONITOR_NAME, nullptr); },
                         script);
    }
    Driven Configure(const std::function<void(DialogDriver&)>& script)
    {
        return RunDriven([&] { return Ui.Table->pfnConfigurePortUI(nullptr, Sheet.Owner(), PORT.c_str()); }, script);
    }
    Bytes SentConfig()
    {
        for (const auto& c : _TESTMON::ReadCommands())
            if (c.command == L"SetConfig")
                return c.input;
        return {};
    }

    LoadedUi Ui;
    TestSheet Sheet;
};

TEST_F(Dialogs, PortNameMustBeNonEmptyWithoutBackslash)
{
    struct Seen {
        std::string message;
        std::wstring after;  // the edit box once the message is gone
        bool same_dialog;
    };
    std::vector<Seen> seen;
    const std::vector<std::wstring> refused = {L"", L"  \t\r\n ", L" bad\\name ", L"\\"};
    Driven r = Add([&](DialogDriver& d) {
        HWND dlg = d.Wait(Window::NameDialog);
        for (const auto& name : refused) {
            d.SetText(dlg, IDC_PORTNAME, name);
            d.Press(dlg, IDOK);
            Seen s;
            s.message = Narrow(d.Dismiss(d.Wait(Window::MessageBox)));
            HWND again = d.Wait(Window::NameDialog);
            s.same_dialog = again == dlg;
            s.after = d.Text(again, IDC_PORTNAME);
            seen.push_back(s);
        }
        d.SetText(dlg, IDC_PORTNAME, L"\t BW_OK \r\n");
        d.Press(dlg, IDOK);
        d.Press(d.Wait(Window::ConfigDialog), IDCANCEL);
    });
    EXPECT_EQ(r.Problem, "");
    EXPECT_EQ(r.Error, DWORD(ERROR_CANCELLED));
    ASSERT_EQ(seen.size(), refused.size());
    const std::wstring trimmed[] = {L"", L"", L"bad\\name", L"\\"};
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].message, Message(IDS_BAD_PORT_NAME)) << i;
        EXPECT_TRUE(seen[i].same_dialog) << "the dialog stays open";
        EXPECT_EQ(seen[i].after, trimmed[i]) << "the edit box shows the trimmed name";
    }
    auto commands = _TESTMON::ReadCommands();
    ASSERT_GE(commands.size(), 1u);
    EXPECT_EQ(commands[0].command, L"PortExists");
    EXPECT_EQ(commands[0].input, _TESTMON::NameField(L"BW_OK"));
}

TEST_F(Dialogs, AddressesAreHostNamesOrDottedAddresses)
{
    enum Verdict { Ok, BadIp, BadHost };
    struct Case {
        std::wstring typed;
        Verdict verdict;
        std::wstring trimmed;
    };
    const std::vector<Case> cases = {
        {L"192.168.1.10", Ok, L"192.168.1.10"},
        {L"  10.0.0.1\t", Ok, L"10.0.0.1"},
        {L"0.0.0.0", Ok, L"0.0.0.0"},
        {L"255.255.255.255", Ok, L"255.255.255.255"},
        {L"10.0.0.1x", Ok, L"10.0.0.1x"},  // the group reads as 1
        {L"192.168.1", BadIp, L"192.168.1"},
        {L"192.168.1.256", BadIp, L"192.168.1.256"},
        {L"1.2.3.4.", BadIp, L"1.2.3.4."},
        {L"1.2.3.4.5", BadIp, L"1.2.3.4.5"},
        {L"1234.1.1.1", BadIp, L"1234.1.1.1"},
        {L"1..2.3", BadIp, L"1..2.3"},
        {L"1.2.3.-1", BadIp, L"1.2.3.-1"},
        {L"1printer", BadIp, L"1printer"},
        {L"printer-1.example", Ok, L"printer-1.example"},
        {L"printer_1", Ok, L"printer_1"},
        {L"Printer.", Ok, L"Printer."},
        {L"-printer", BadHost, L"-printer"},
        {L"", BadHost, L""},
        {L"a.-b", BadHost, L"a.-b"},
        {L"a..b", BadHost, L"a..b"},
        {L"a.1b", BadHost, L"a.1b"},
        {L"print er", BadHost, L"print er"},
        {L"dr\x00fc" L"cker", BadHost, L"dr\x00fc" L"cker"},
    };
    std::vector<std::string> messages;
    std::vector<std::wstring> shown;
    Driven r = Configure([&](DialogDriver& d) {
        HWND cfg = d.Wait(Window::ConfigDialog);
        for (const Case& c : cases) {
            // An accepted address goes on to the port number, which is refused.
            d.SetText(cfg, IDC_PORTNUMBER, L"0");
            d.SetText(cfg, IDC_ADDRESS, c.typed);
            d.Press(cfg, IDOK);
            messages.push_back(Narrow(d.Dismiss(d.Wait(Window::MessageBox))));
            shown.push_back(d.Text(d.Wait(Window::ConfigDialog), IDC_ADDRESS));
        }
        d.Press(cfg, IDCANCEL);
    });
    EXPECT_EQ(r.Problem, "");
    EXPECT_EQ(r.Error, DWORD(ERROR_CANCELLED));
    ASSERT_EQ(messages.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::string want = c.verdict == Ok      ? Message(IDS_BAD_PORT_NUMBER)
                                 : c.verdict == BadIp ? Message(IDS_BAD_IP_ADDRESS, c.trimmed)
                                                      : Message(IDS_BAD_HOST_NAME, c.trimmed);
        EXPECT_EQ(messages[i], want) << "address \"" << Narrow(c.typed) << "\"";
        EXPECT_EQ(shown[i], c.trimmed);
    }
    EXPECT_EQ(SentConfig(), Bytes()) << "nothing stored after cancel";
}

TEST_F(Dialogs, PortNumbersFromOneTo65535)
{
    std::vector<std::string> messages;
    Driven r = Configure([&](DialogDriver& d) {
        HWND cfg = d.Wait(Window::ConfigDialog);
        for (const wchar_t* number : {L"0", L"65536", L"abc", L"", L"99999999999999", L"-1"}) {
            d.SetText(cfg, IDC_PORTNUMBER, number);
            d.Press(cfg, IDOK);
            messages.push_back(Narrow(d.Dismiss(d.Wait(Window::MessageBox))));
        }
        d.Press(cfg, IDCANCEL);
    });
    EXPECT_EQ(r.Problem, "");
    for (const auto& m : messages)
        EXPECT_EQ(m, Message(IDS_BAD_PORT_NUMBER));
    EXPECT_EQ(messages.size(), 6u);

    for (auto accepted : {std::make_pair(L"1", 1u), std::make_pair(L"65535", 65535u), std::make_pair(L" 9100abc", 9100u)}) {
        _TESTMON::ClearLog();
        r = Configure([&](DialogDriver& d) {
            HWND cfg = d.Wait(Window::ConfigDialog);
            d.SetText(cfg, IDC_PORTNUMBER, accepted.first);
            d.Press(cfg, IDOK);
        });
        EXPECT_EQ(r.Problem, "");
        EXPECT_TRUE(r.Result) << r.Error;
        Bytes sent = SentConfig();
        ASSERT_EQ(sent.size(), _TESTMON::RECORD_SIZE);
        EXPECT_EQ(_TESTMON::GetDword(sent, _TESTMON::PORT_NUMBER), accepted.second) << Narrow(accepted.first);
    }
}

TEST_F(Dialogs, TlsControlsHiddenWithoutSupport)
{
    ASSERT_TRUE(_TESTMON::SeedPort(PORT, Stored(1, 1)));  // stored as on, yet the model lacks TLS
    const int controls[] = {IDC_TLS_ENABLE, IDC_TLS_OPTION, IDC_TLS_FRAME, IDC_TLS_NOTE1, IDC_TLS_NOTE2};
    std::vector<bool> shown_or_enabled;
    Driven r = Configure([&](DialogDriver& d) {
        HWND cfg = d.Wait(Window::ConfigDialog);
        for (int id : controls) {
            EXPECT_TRUE(d.Exists(cfg, id));
            shown_or_enabled.push_back(d.Visible(cfg, id) || d.Enabled(cfg, id));
        }
        d.Press(cfg, IDOK);
    });
    EXPECT_EQ(r.Problem, "");
    EXPECT_TRUE(r.Result) << r.Error;
    EXPECT_EQ(shown_or_enabled, std::vector<bool>(5, false));
    Bytes sent = SentConfig();
    ASSERT_EQ(sent.size(), _TESTMON::RECORD_SIZE);
    EXPECT_EQ(_TESTMON::GetDword(sent, _TESTMON::SUPPORTS_TLS), 0u);
    EXPECT_EQ(_TESTMON::GetDword(sent, _TESTMON::TLS_ENABLED), 0u);
    EXPECT_EQ(_TESTMON::GetDword(sent, _TESTMON::TLS_OPTION), 0u);
}

TEST_F(Dialogs, TlsControlsFollowTheStoredChoice)
{
    ASSERT_TRUE(SetModelTls(PRINTER, 1));
    // Off: the option is unchecked and disabled, the notes disabled.
    bool option_enabled = true, notes_enabled = true, enabled_checked = true, frame_visible = false;
    Driven r = Configure([&](DialogDriver& d) {
        HWND cfg = d.Wait(Window::ConfigDialog);
        enabled_checked = d.Checked(cfg, IDC_TLS_ENABLE);
        option_enabled = d.Enabled(cfg, IDC_TLS_OPTION) || d.Checked(cfg, IDC_TLS_OPTION);
        notes_enabled = d.Enabled(cfg, IDC_TLS_NOTE1) || d.Enabled(cfg, IDC_TLS_NOTE2);
        frame_visible = d.Visible(cfg, IDC_TLS_FRAME) && d.Visible(cfg, IDC_TLS_NOTE1);
        d.Click(cfg, IDC_TLS_ENABLE);
        d.Press(cfg, IDOK);
    });
    EXPECT_EQ(r.Problem, "");
    EXPECT_FALSE(enabled_checked);
    EXPECT_FALSE(option_enabled);
    EXPECT_FALSE(notes_enabled);
    EXPECT_TRUE(frame_visible);
    Bytes sent = SentConfig();
    ASSERT_EQ(sent.size(), _TESTMON::RECORD_SIZE);
    EXPECT_EQ(_TESTMON::GetDword(sent, _TESTMON::TLS_ENABLED), 1u);
    EXPECT_EQ(_TESTMON::GetDword(sent, _TESTMON::TLS_OPTION), 0u);

    // On without the option: the option enabled and unchecked.
    ASSERT_TRUE(_TESTMON::SeedPort(PORT, Stored(1, 0)));
    _TESTMON::ClearLog();
    bool option_checked = true;
    option_enabled = false;
    r = Configure([&](DialogDriver& d) {
        HWND cfg = d.Wait(Window::ConfigDialog);
        option_checked = d.Checked(cfg, IDC_TLS_OPTION);
        option_enabled = d.Enabled(cfg, IDC_TLS_OPTION);
        d.Press(cfg, IDCANCEL);
    });
    EXPECT_FALSE(option_checked);
    EXPECT_TRUE(option_enabled);
    EXPECT_EQ(r.Error, DWORD(ERROR_CANCELLED));
}

TEST_F(Dialogs, NewPortStartsWithTheDefaultPortNumber)
{
    struct Case {
        DWORD type;
        std::vector<BYTE> data;
        std::wstring shown;
    };
    const wchar_t nine[] = L"9";      // 4 bytes with its terminator: read as the number 57
    const wchar_t ninety[] = L"90";   // 6 bytes: too long
    const DWORD dword = 9200;
    const ULONGLONG qword = 9200;
    auto bytes = [](const void* p, size_t n) {
        return std::vector<BYTE>(static_cast<const BYTE*>(p), static_cast<const BYTE*>(p) + n);
    };
    const std::vector<Case> cases = {
        {REG_NONE, {}, L"9100"},  // no value
        {REG_DWORD, bytes(&dword, 4), L"9200"},
        {REG_QWORD, bytes(&qword, 8), L"9100"},
        {REG_SZ, bytes(nine, sizeof(nine)), L"57"},
        {REG_SZ, bytes(ninety, sizeof(ninety)), L"9100"},
    };
    for (const Case& c : cases) {
        if (c.type == REG_NONE)
            RemoveDefaultPortNumber();
        else
            ASSERT_TRUE(SetDefaultPortNumber(c.type, c.data.data(), DWORD(c.data.size())));
        std::wstring shown;
        Driven r = Add([&](DialogDriver& d) {
            HWND dlg = d.Wait(Window::NameDialog);
            d.SetText(dlg, IDC_PORTNAME, L"BW_NEW");
            d.Press(dlg, IDOK);
            HWND cfg = d.Wait(Window::ConfigDialog);
            shown = d.Text(cfg, IDC_PORTNUMBER);
            d.Press(cfg, IDCANCEL);
        });
        EXPECT_EQ(r.Problem, "");
        EXPECT_EQ(shown, c.shown) << "registry type " << c.type;
    }

    // 0 is shown as it is and refused until the user enters a valid number.
    const DWORD zero = 0;
    ASSERT_TRUE(SetDefaultPortNumber(REG_DWORD, &zero, 4));
    std::wstring shown;
    std::string message;
    _TESTMON::ClearLog();
    Driven r = Add([&](DialogDriver& d) {
        HWND dlg = d.Wait(Window::NameDialog);
        d.SetText(dlg, IDC_PORTNAME, L"BW_ZERO");
        d.Press(dlg, IDOK);
        HWND cfg = d.Wait(Window::ConfigDialog);
        shown = d.Text(cfg, IDC_PORTNUMBER);
        d.SetText(cfg, IDC_ADDRESS, L"10.0.0.2");
        d.Press(cfg, IDOK);
        message = Narrow(d.Dismiss(d.Wait(Window::MessageBox)));
        d.SetText(cfg, IDC_PORTNUMBER, L"1");
        d.Press(cfg, IDOK);
    });
    EXPECT_EQ(r.Problem, "");
    EXPECT_TRUE(r.Result) << r.Error;
    EXPECT_EQ(shown, L"0");
    EXPECT_EQ(message, Message(IDS_BAD_PORT_NUMBER));
    Bytes sent = SentConfig();
    ASSERT_EQ(sent.size(), _TESTMON::RECORD_SIZE);
    EXPECT_EQ(_TESTMON::GetDword(sent, _TESTMON::PORT_NUMBER), 1u);
    EXPECT_EQ(_TESTMON::GetDword(sent, _TESTMON::RESERVED_DWORD), 1u);
    EXPECT_EQ(_TESTMON::GetText(sent, _TESTMON::ADDRESS), L"10.0.0.2");
}

}  // namespace

// Two configuration dialogs open at once on two threads of one process (as
// property sheets have them): each OK stores what was typed into its own
// dialog, in its own record.
//
// The two dialogs are opened and edited one after the other, each while the
// other is open and idle: Wine's text shaping (used by its edit controls)
// is not safe on two threads at once and crashes now and then when two
// dialogs paint or take text at the same moment.
TEST_F(Dialogs, TwoDialogsOpenAtOnceEachSendTheirOwnRecord)
{
    const std::wstring other_port = L"BW_DLG_2";
    ASSERT_TRUE(_TESTMON::SeedPort(other_port, Stored(0, 0, other_port)));
    std::atomic<int> open(0);
    const auto both_open = [&] {
        ++open;
        for (int i = 0; i < 1000 && open < 2; ++i)
            Sleep(10);
        if (open < 2)
            throw DriverError("the other dialog did not open");
    };
    std::mutex turn;  // one dialog at a time takes text
    const auto script = [&](const wchar_t* address) {
        return [&, address](DialogDriver& d) {
            HWND cfg = d.Wait(Window::ConfigDialog);
            d.Settle(cfg);
            both_open();
            std::lock_guard<std::mutex> mine(turn);
            d.SetText(cfg, IDC_ADDRESS, address);
            d.Press(cfg, IDOK);
            d.WaitGone(cfg);
        };
    };
    Driven other;
    std::thread second([&] {
        // Opened once the first dialog has painted.
        for (int i = 0; i < 1000 && open < 1; ++i)
            Sleep(10);
        TestSheet sheet;
        other = RunDriven([&] { return Ui.Table->pfnConfigurePortUI(nullptr, sheet.Owner(), other_port.c_str()); },
                          script(L"10.0.0.22"));
    });
    Driven first = Configure(script(L"10.0.0.11"));
    second.join();
    EXPECT_EQ(first.Problem, "");
    EXPECT_EQ(other.Problem, "");
    EXPECT_TRUE(first.Result);
    EXPECT_TRUE(other.Result);

    // Each port's record carries the address typed into its own dialog.
    std::vector<std::wstring> stored;
    for (const auto& c : _TESTMON::ReadCommands())
        if (c.command == L"SetConfig")
            stored.push_back(_TESTMON::GetText(c.input, _TESTMON::PORT_NAME) + L"=" +
                             _TESTMON::GetText(c.input, _TESTMON::ADDRESS));
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, (std::vector<std::wstring>{PORT + L"=10.0.0.11", other_port + L"=10.0.0.22"}));
}
