// The port UI's parts on their own, linked into the test: input checks, the
// text formatter, the language tag table, the registry values it reads, and
// printer-context discovery against a test property sheet.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "MonitorConversation.h"
#include "OLanguageModule.h"
#include "PortInput.h"
#include "PortUiHarness.h"
#include "PrinterContext.h"
#include "TextFormat.h"

namespace {

using namespace _UITEST;

TEST(PortInput, Addresses)
{
    for (const wchar_t* ok : {L"192.168.1.10", L"0.0.0.0", L"255.255.255.255", L"10.0.0.1x", L"1.x.2.3",
                              L"1.+2.3.4", L"1.2.3.4 5" /* read as 4 */, L"printer-1.example", L"printer_1", L"a", L"Printer.", L"a.b-c.d_e9"})
        EXPECT_TRUE(IsValidPortAddress(ok)) << Narrow(ok);
    for (const wchar_t* bad : {L"", L"192.168.1", L"192.168.1.256", L"1.2.3.4.", L"1.2.3.4.5", L"1234.1.1.1",
                               L"1..2.3", L".1.2.3", L"1.2.3.-1", L"1printer", L"-printer", L"_printer", L".printer",
                               L"a.-b", L"a..b", L"a.1b", L"a b", L"dr\x00fc" L"cker", L" a", L"a/b"})
        EXPECT_FALSE(IsValidPortAddress(bad)) << Narrow(bad);
}

TEST(PortInput, NamesNumbersAndTrimming)
{
    EXPECT_TRUE(IsValidPortName(L"BW_10.0.0.7"));
    EXPECT_TRUE(IsValidPortName(L"a/b:c"));
    EXPECT_FALSE(IsValidPortName(L""));
    EXPECT_FALSE(IsValidPortName(L"a\\b"));

    EXPECT_EQ(ParsePortNumber(L"9100"), 9100u);
    EXPECT_EQ(ParsePortNumber(L"9100abc"), 9100u);
    EXPECT_EQ(ParsePortNumber(L"65535"), 65535u);
    EXPECT_EQ(ParsePortNumber(L"abc"), 0u);
    EXPECT_EQ(ParsePortNumber(L"-5"), 0u);
    EXPECT_EQ(ParsePortNumber(L"65536"), 65536u);
    EXPECT_EQ(ParsePortNumber(L"4294967297"), 65536u) << "no wrap-around into the valid range";

    wchar_t text[32] = L" \t\r\nBW 1 \n";
    EXPECT_EQ(TrimPortText(text), 4);
    EXPECT_STREQ(text, L"BW 1");
    wchar_t blank[8] = L" \t ";
    EXPECT_EQ(TrimPortText(blank), 0);
    EXPECT_STREQ(blank, L"");
}

TEST(TextFormat, BoundedAndSafe)
{
    wchar_t small[8];
    EXPECT_EQ(FormatText(small, L"%s-%s", {L"abcdef", L"ghij"}), 7);
    EXPECT_STREQ(small, L"abcdef-") << "cut to fit, always terminated";
    wchar_t buf[64];
    FormatText(buf, L"TCP/IP Port Monitor %s - %s", {L"1.0.0", L"Add Port"});
    EXPECT_STREQ(buf, L"TCP/IP Port Monitor 1.0.0 - Add Port");
    FormatText(buf, L",XcvPort %ls", {L"BW_1"});
    EXPECT_STREQ(buf, L",XcvPort BW_1");
    FormatText(buf, L"%u|%u", {DWORD(0), DWORD(4294967295u)});
    EXPECT_STREQ(buf, L"0|4294967295");
    FormatText(buf, L"100%% %d %s %s %n", {L"x"});
    EXPECT_STREQ(buf, L"100% %d x  %n") << "unknown conversions copied, missing arguments empty";
}

TEST(LanguageTag, Table)
{
    const std::pair<const wchar_t*, const wchar_t*> rows[] = {
        {L"CHS", L"chs"}, {L"ZHI", L"chs"}, {L"CHT", L"cht"}, {L"ZHH", L"cht"}, {L"ZHM", L"cht"},
        {L"CSY", L"csy"}, {L"DAN", L"dan"}, {L"DEU", L"deu"}, {L"DES", L"deu"}, {L"ELL", L"ell"},
        {L"ENU", L"enu"}, {L"ENG", L"enu"}, {L"ESP", L"esp"}, {L"ESN", L"esp"}, {L"FIN", L"fin"},
        {L"FRA", L"fra"}, {L"FRB", L"fra"}, {L"HUN", L"hun"}, {L"ITA", L"ita"}, {L"JPN", L"jpn"},
        {L"KOR", L"kor"}, {L"NLD", L"nld"}, {L"NOR", L"nor"}, {L"NON", L"nor"}, {L"PLK", L"plk"},
        {L"PTG", L"ptg"}, {L"PTB", L"ptb"}, {L"SVE", L"sve"}, {L"THA", L"tha"}, {L"TRK", L"trk"},
        // Case does not matter; unknown languages get English.
        {L"deu", L"deu"}, {L"pTg", L"ptg"}, {L"zhi", L"chs"}, {L"RUS", L"enu"}, {L"ZHX", L"enu"},
        {L"JPX", L"enu"}, {L"PT", L"ptb"}, {L"D", L"enu"}, {L"", L"enu"}, {L"\x00c4" L"DE", L"enu"},
    };
    for (const auto& row : rows)
        EXPECT_STREQ(MapLanguageTag(row.first), row.second) << Narrow(row.first);
    EXPECT_STREQ(MapLanguageTag(nullptr), L"enu");
    EXPECT_STREQ(LanguageModuleName(L"deu").Wide(), L"bwtcpipmon[deu].dll");
}

TEST(Registry, DefaultPortNumber)
{
    RemoveDefaultPortNumber();
    EXPECT_EQ(ReadDefaultPortNumber(), 9100u);
    const DWORD zero = 0, big = 70000;
    ASSERT_TRUE(SetDefaultPortNumber(REG_DWORD, &zero, 4));
    EXPECT_EQ(ReadDefaultPortNumber(), 0u);
    ASSERT_TRUE(SetDefaultPortNumber(REG_DWORD, &big, 4));
    EXPECT_EQ(ReadDefaultPortNumber(), 70000u) << "used as it is, checked by the dialog";
    const ULONGLONG qword = 9200;
    ASSERT_TRUE(SetDefaultPortNumber(REG_QWORD, &qword, 8));
    EXPECT_EQ(ReadDefaultPortNumber(), 9100u);
    ASSERT_TRUE(SetDefaultPortNumber(REG_SZ, L"9", 4));
    EXPECT_EQ(ReadDefaultPortNumber(), 57u) << "the code of the digit";
    ASSERT_TRUE(SetDefaultPortNumber(REG_SZ, L"91", 6));
    EXPECT_EQ(ReadDefaultPortNumber(), 9100u);
    const BYTE two[] = {0x10, 0x27};
    ASSERT_TRUE(SetDefaultPortNumber(REG_BINARY, two, 2));
    EXPECT_EQ(ReadDefaultPortNumber(), 9100u);
    const BYTE four[] = {0x10, 0x27, 0, 0};
    ASSERT_TRUE(SetDefaultPortNumber(REG_BINARY, four, 4));
    EXPECT_EQ(ReadDefaultPortNumber(), 10000u);
    RemoveDefaultPortNumber();
}

TEST(Registry, ModelSupportsTls)
{
    const std::wstring printer = L"Unit Test Printer";
    RemovePrinterKey(printer);
    EXPECT_FALSE(QueryModelSupportsTLS(printer.c_str())) << "no key";
    const DWORD one = 1, two = 2, zero = 0;
    ASSERT_TRUE(SetModelValue(printer, REG_DWORD, &one, 4));
    EXPECT_TRUE(QueryModelSupportsTLS(printer.c_str()));
    ASSERT_TRUE(SetModelValue(printer, REG_DWORD, &two, 4));
    EXPECT_FALSE(QueryModelSupportsTLS(printer.c_str())) << "only 1 means supported";
    ASSERT_TRUE(SetModelValue(printer, REG_DWORD, &zero, 4));
    EXPECT_FALSE(QueryModelSupportsTLS(printer.c_str()));
    const BYTE binary[] = {1, 0, 0, 0};
    ASSERT_TRUE(SetModelValue(printer, REG_BINARY, binary, 4));
    EXPECT_TRUE(QueryModelSupportsTLS(printer.c_str())) << "the type is not checked";
    const ULONGLONG qword = 1;
    ASSERT_TRUE(SetModelValue(printer, REG_QWORD, &qword, 8));
    EXPECT_FALSE(QueryModelSupportsTLS(printer.c_str())) << "longer than 4 bytes";
    RemovePrinterKey(printer);
}

class Context : public ::testing::Test {
protected:
    void SetUp() override { RemovePrinterKey(L"Label Printer 12"); }
    void TearDown() override { RemovePrinterKey(L"Label Printer 12"); }

    static SheetOptions Sheet(const std::wstring& title, std::vector<std::wstring> labels)
    {
        SheetOptions o;
        o.Title = title;
        o.Labels = std::move(labels);
        return o;
    }
    PORT_CONFIG Record() const
    {
        PORT_CONFIG r = {};
        r.dwSupportsTLS = 77;  // overwritten on success
        return r;
    }
};

TEST_F(Context, FromTheWindowTexts)
{
    TestSheet sheet;  // "Label Printer 12 Properties" with a label "Label Printer 12"
    ASSERT_EQ(GetTopWindow(sheet.Sheet()), sheet.Owner()) << "the page is the sheet's first child";
    ASSERT_TRUE(SetModelTls(L"Label Printer 12", 1));
    PORT_CONFIG r = Record();
    ASSERT_TRUE(FindPrinterContext(sheet.Owner(), &r));
    EXPECT_STREQ(r.szPrinterName, L"Label Printer 12");
    EXPECT_EQ(r.dwFromSharedBlock, 0u);
    EXPECT_EQ(r.dwSupportsTLS, 1u);
    EXPECT_EQ(sheet.Requests, 0);

    RemovePrinterKey(L"Label Printer 12");
    r = Record();
    ASSERT_TRUE(FindPrinterContext(sheet.Owner(), &r));
    EXPECT_EQ(r.dwSupportsTLS, 0u) << "no model key: no TLS";
}

TEST_F(Context, ComputerNameAndTextLimits)
{
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(computer, &size));
    {
        TestSheet sheet(Sheet(L"Properties", {computer}));
        PORT_CONFIG r = Record();
        ASSERT_TRUE(FindPrinterContext(sheet.Owner(), &r));
        EXPECT_STREQ(r.szPrinterName, computer);
        EXPECT_EQ(r.dwSupportsTLS, 0u);
    }
    // Texts of 261 characters are skipped; 260 are taken.
    const std::wstring long_name(261, L'L'), longest(260, L'M');
    {
        TestSheet sheet(Sheet(longest + L" Properties", {long_name, longest}));
        PORT_CONFIG r = Record();
        ASSERT_TRUE(FindPrinterContext(sheet.Owner(), &r));
        EXPECT_EQ(std::wstring(r.szPrinterName), longest);
    }
    // A text equal to the whole title is not taken; the page does not
    // answer: no printer.
    {
        TestSheet sheet(Sheet(L"Label Printer 12", {L"Label Printer 12"}));
        PORT_CONFIG r = Record();
        EXPECT_FALSE(FindPrinterContext(sheet.Owner(), &r));
        EXPECT_EQ(sheet.Requests, 1);
    }
    // Case matters.
    {
        TestSheet sheet(Sheet(L"LABEL PRINTER 12 Properties", {L"Label Printer 12"}));
        PORT_CONFIG r = Record();
        EXPECT_FALSE(FindPrinterContext(sheet.Owner(), &r));
    }
}

TEST_F(Context, FromTheSharedBlock)
{
    SheetOptions o = Sheet(L"Properties", {});
    o.Answer = true;
    o.SharedName = L"Shared";
    o.SharedTls = 2;
    TestSheet sheet(o);
    PORT_CONFIG r = Record();
    ASSERT_TRUE(FindPrinterContext(sheet.Owner(), &r));
    EXPECT_STREQ(r.szPrinterName, L"Shared");
    EXPECT_EQ(r.dwFromSharedBlock, 1u);
    EXPECT_EQ(r.dwSupportsTLS, 2u) << "the flag byte, not folded to 1";
    EXPECT_EQ(sheet.Releases, 0) << "posted, not sent";
    sheet.Pump();
    EXPECT_EQ(sheet.Releases, 1);
    EXPECT_FALSE(sheet.MappingOpen());

    // A name without terminator in the block is cut to 260 characters.
    o.SharedName = std::wstring(300, L'S');
    o.SharedTls = 255;
    TestSheet full(o);
    r = Record();
    ASSERT_TRUE(FindPrinterContext(full.Owner(), &r));
    EXPECT_EQ(std::wstring(r.szPrinterName), std::wstring(260, L'S'));
    EXPECT_EQ(r.dwSupportsTLS, 255u);
    full.Pump();
}

TEST_F(Context, NoPrinter)
{
    // The page answers, but publishes nothing.
    SheetOptions o = Sheet(L"Properties", {L"General"});
    o.Answer = true;
    o.Publish = false;
    TestSheet sheet(o);
    PORT_CONFIG r = Record();
    EXPECT_FALSE(FindPrinterContext(sheet.Owner(), &r));
    EXPECT_EQ(sheet.Requests, 1);
    // No parent at all.
    HWND lone = CreateWindowW(L"STATIC", L"x", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    EXPECT_FALSE(FindPrinterContext(lone, &r));
    DestroyWindow(lone);
}

}  // namespace
