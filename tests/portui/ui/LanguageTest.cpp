// Which language module netportui.dll loads at process attach, from which
// archive, and that it leaves no extracted file behind.
//
// The user's language comes from the Wine process's locale, so this
// program runs once per locale (RunLanguages.cmake) with ZP_EXPECT_TAG
// naming the tag that locale must give ("enu" when unset). The archive in
// the system folder is replaced for each case and the shipped one put back.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "OLanguageModule.h"
#include "PortUiHarness.h"
#include "ResourceIds.h"
#include "TestMonitor.h"

namespace {

using namespace _UITEST;

std::wstring ExpectedTag()
{
    wchar_t tag[16] = {};
    if (!GetEnvironmentVariableW(L"ZP_EXPECT_TAG", tag, 16) || !tag[0])
        return L"enu";
    return tag;
}

std::vector<std::wstring> NewFiles(const std::vector<std::wstring>& before)
{
    std::vector<std::wstring> added;
    for (const auto& f : LanguageTempFiles())
        if (std::find(before.begin(), before.end(), f) == before.end())
            added.push_back(f);
    return added;
}

class Language : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::wstring error;
        ASSERT_TRUE(_TESTMON::Install(&error)) << Narrow(error);
    }
    static void TearDownTestSuite() { InstallUi(nullptr); }  // the shipped archive again
    void SetUp() override { _TESTMON::Reset(); }

    // Installs `archive` (none when empty), loads the DLL and checks that it
    // took the module of `tag` (none when empty): the one extracted file
    // holds that module's bytes, and the messages come in its language.
    // Once the DLL is freed, no file of it is left.
    void ExpectModule(const std::wstring& archive, const std::wstring& tag)
    {
        std::wstring error;
        ASSERT_TRUE(InstallSystemFile(BuiltUiDll(), L"netportui.dll", &error)) << Narrow(error);
        ASSERT_TRUE(InstallSystemFile(archive, L"bwtcpipmon.ddz", &error)) << Narrow(error);
        const auto before = LanguageTempFiles();
        {
            LoadedUi ui;
            ASSERT_TRUE(ui.Ok()) << "the DLL loads and works without a module too";
            const auto added = NewFiles(before);
            if (tag.empty()) {
                EXPECT_TRUE(added.empty()) << "no module: no file";
            } else {
                ASSERT_EQ(added.size(), 1u) << "one extracted module";
                EXPECT_TRUE(ReadAll(added[0]) == ReadAll(LangModule(tag))) << "the module of " << Narrow(tag);
            }
            TestSheet sheet;
            std::wstring text, caption;
            Driven r = RunDriven([&] { return ui.Table->pfnDeletePortUI(L"", sheet.Owner(), L"BW_1"); },
                                 [&](DialogDriver& d) { text = d.Dismiss(d.Wait(Window::MessageBox), &caption); });
            EXPECT_EQ(r.Problem, "");
            EXPECT_EQ(r.Error, DWORD(ERROR_CAN_NOT_COMPLETE));
            EXPECT_EQ(Narrow(text), tag.empty() ? "" : Narrow(LangString(tag, IDS_REMOTE_DELETE)));
            EXPECT_EQ(Narrow(caption), tag.empty() ? "" : Narrow(LangString(tag, IDS_CAPTION)));
            EXPECT_TRUE(ui.Unload()) << "netportui.dll is still loaded";
        }
        EXPECT_TRUE(NewFiles(before).empty()) << "the extracted file is deleted with the DLL";
    }
};

TEST_F(Language, LocaleGivesTheExpectedTag)
{
    wchar_t name[8] = {};
    ASSERT_GT(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, name, 8), 0);
    EXPECT_EQ(Narrow(MapLanguageTag(name)), Narrow(ExpectedTag())) << "locale language " << Narrow(name);
}

TEST_F(Language, UserLanguageFromTheShippedArchive)
{
    ExpectModule(BuiltArchive(), ExpectedTag());
}

TEST_F(Language, EntryNamesIgnoreCase)
{
    // BWTCPIPMON[DEU].DLL and BWTCPIPMON[ENU].DLL only.
    const std::wstring tag = ExpectedTag();
    ExpectModule(TestArchive(L"upper-case"), tag == L"deu" ? tag : L"enu");
}

TEST_F(Language, MissingModuleFallsBackToEnglish)
{
    // Every module but German.
    const std::wstring tag = ExpectedTag();
    ExpectModule(TestArchive(L"no-deu"), tag == L"deu" ? L"enu" : tag);
}

TEST_F(Language, RejectedModuleIsDeletedAndEnglishTaken)
{
    // A German entry that is no module, and English.
    ExpectModule(TestArchive(L"bad-deu"), L"enu");
}

TEST_F(Language, NoModuleAtAll)
{
    // Neither the user's module nor English: the dialogs cannot be created,
    // and the operations fail with the dialog's error.
    if (ExpectedTag() == L"fra")
        GTEST_SKIP() << "the French module is in the archive";
    for (const std::wstring& archive : {TestArchive(L"fra-only"), std::wstring()}) {
        ExpectModule(archive, L"");
        LoadedUi ui;
        ASSERT_TRUE(ui.Ok());
        TestSheet sheet;
        const INT_PTR own = DialogBoxParamW(ui.Module, MAKEINTRESOURCEW(IDD_PORTNAME), sheet.Owner(), nullptr, 0);
        const DWORD dialog_error = GetLastError();
        ASSERT_EQ(own, -1) << "the DLL carries no dialogs of its own";
        Driven r = RunDriven(
            [&] { return ui.Table->pfnAddPortUI(nullptr, sheet.Owner(), _TESTMON::MONITOR_NAME, nullptr); },
            [](DialogDriver&) {});
        EXPECT_EQ(r.Problem, "");
        EXPECT_FALSE(r.Result);
        EXPECT_EQ(r.Error, dialog_error != 0 ? dialog_error : DWORD(ERROR_CAN_NOT_COMPLETE));
        EXPECT_TRUE(_TESTMON::ReadCommands().empty());
    }
}

}  // namespace
