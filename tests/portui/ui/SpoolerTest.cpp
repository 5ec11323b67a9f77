// The way a user reaches netportui.dll: through the spooler. AddPortW,
// ConfigurePortW and DeletePortW ask the monitor for its UI DLL
// ("MonitorUI"), load it from the system folder and call its operations;
// their result and last error come back to the caller.
#include <windows.h>
#include <winspool.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PortUiHarness.h"
#include "ResourceIds.h"
#include "TestMonitor.h"

namespace {

using namespace _UITEST;

class Spooler : public ::testing::Test {
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
        RemovePrinterKey(L"Label Printer 12");
        Before = LanguageTempFiles();
    }
    void TearDown() override
    {
        _TESTMON::Reset();
        RemovePrinterKey(L"Label Printer 12");
    }

    std::vector<std::wstring> Commands()
    {
        std::vector<std::wstring> names;
        for (const auto& c : _TESTMON::ReadCommands())
            if (c.command != L"MonitorUI")
                names.push_back(c.command);
        return names;
    }

    TestSheet Sheet;
    std::vector<std::wstring> Before;
};

TEST_F(Spooler, AddConfigureDeleteThroughTheSpooler)
{
    const std::wstring port = L"BW_SPOOLER";
    Driven r = RunDriven(
        [&] { return AddPortW(nullptr, Sheet.Owner(), const_cast<LPWSTR>(_TESTMON::MONITOR_NAME)); },
        [&](DialogDriver& d) {
            HWND dlg = d.Wait(Window::NameDialog);
            d.SetText(dlg, IDC_PORTNAME, port);
            d.Press(dlg, IDOK);
            HWND cfg = d.Wait(Window::ConfigDialog);
            d.SetText(cfg, IDC_ADDRESS, L"printer.example");
            d.Press(cfg, IDOK);
        });
    ASSERT_EQ(r.Problem, "");
    ASSERT_TRUE(r.Result) << r.Error;
    EXPECT_TRUE(_TESTMON::PortExists(port));
    EXPECT_EQ(Commands(), (std::vector<std::wstring>{L"PortExists", L"AddPort", L"SetConfig"}));
    EXPECT_EQ(GetModuleHandleW(L"netportui.dll"), nullptr) << "the spooler freed the UI";
    EXPECT_EQ(LanguageTempFiles(), Before) << "and its language file is gone";

    _TESTMON::ClearLog();
    std::wstring shown_address;
    r = RunDriven([&] { return ConfigurePortW(nullptr, Sheet.Owner(), const_cast<LPWSTR>(port.c_str())); },
                  [&](DialogDriver& d) {
                      HWND cfg = d.Wait(Window::ConfigDialog);
                      shown_address = d.Text(cfg, IDC_ADDRESS);
                      d.SetText(cfg, IDC_PORTNUMBER, L"9105");
                      d.Press(cfg, IDOK);
                  });
    ASSERT_EQ(r.Problem, "");
    EXPECT_TRUE(r.Result) << r.Error;
    EXPECT_EQ(shown_address, L"printer.example");
    EXPECT_EQ(Commands(), (std::vector<std::wstring>{L"GetConfig", L"SetConfig"}));
    _TESTMON::Bytes stored;
    ASSERT_TRUE(_TESTMON::StoredConfig(port, stored));
    EXPECT_EQ(_TESTMON::GetDword(stored, _TESTMON::PORT_NUMBER), 9105u);
    EXPECT_EQ(_TESTMON::GetText(stored, _TESTMON::PRINTER_NAME), L"Label Printer 12");

    // A cancel comes back as the caller's last error.
    r = RunDriven([&] { return ConfigurePortW(nullptr, Sheet.Owner(), const_cast<LPWSTR>(port.c_str())); },
                  [&](DialogDriver& d) { d.Press(d.Wait(Window::ConfigDialog), IDCANCEL); });
    EXPECT_EQ(r.Problem, "");
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_CANCELLED));

    _TESTMON::ClearLog();
    r = RunDriven([&] { return DeletePortW(nullptr, Sheet.Owner(), const_cast<LPWSTR>(port.c_str())); },
                  [](DialogDriver&) {});
    EXPECT_EQ(r.Problem, "");
    EXPECT_TRUE(r.Result) << r.Error;
    EXPECT_FALSE(_TESTMON::PortExists(port));
    EXPECT_EQ(Commands(), (std::vector<std::wstring>{L"DeletePort", L"PortDeleted"}));
    EXPECT_EQ(LanguageTempFiles(), Before);
}

TEST_F(Spooler, MonitorFailureReachesTheCaller)
{
    _TESTMON::SeedPort(L"BW_1", _TESTMON::EmptyRecord());
    _TESTMON::FailCommand(L"DeletePort", ERROR_BUSY);
    Driven r = RunDriven([&] { return DeletePortW(nullptr, Sheet.Owner(), const_cast<LPWSTR>(L"BW_1")); },
                         [](DialogDriver&) {});
    EXPECT_EQ(r.Problem, "");
    EXPECT_FALSE(r.Result);
    EXPECT_EQ(r.Error, DWORD(ERROR_BUSY));
    EXPECT_TRUE(_TESTMON::PortExists(L"BW_1"));
}

}  // namespace
