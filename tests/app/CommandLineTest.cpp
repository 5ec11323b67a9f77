#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "CommandLine.h"

namespace {

struct Parsed {
    COMMAND_LINE result;
    _STRING url, driver, name;
    _INT dpi = 0;
    std::string out, err;
};

Parsed Parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "printer.exe");
    Parsed p;
    std::ostringstream out, err;
    p.result = ParseCommandLine(static_cast<int>(args.size()), args.data(), p.url, p.driver, p.name, p.dpi, out, err);
    p.out = out.str();
    p.err = err.str();
    return p;
}

const char* const HELP =
    "Allowed options:\n"
    "  -h [ --help ]                    Help message\n"
    "  -u [ --url ] URL                 Server URL\n"
    "  -p [ --printer ] OS PRINTER NAME OS Printer Name\n"
    "  -n [ --name ] ZELT PRINTER NAME  ZELT Printer Name\n"
    "  -d [ --dpi ] arg (=203)          DPI value\n"
    "\n";

TEST(CommandLine, HelpWhenNothingIsGivenOrAskedFor)
{
    for (const auto& args : std::vector<std::vector<const char*>>{
             {}, {"--help", "-p", "P", "-n", "N"}, {"-h"}, {"-p", "", "-n", "N"}, {"-p", "P"}, {"-n", "N"}}) {
        const Parsed p = Parse(args);
        EXPECT_EQ(p.result, COMMAND_LINE::Help);
        EXPECT_EQ(ExitStatus(p.result), 1);
        EXPECT_EQ(p.out, HELP);
        EXPECT_EQ(p.err, "");
    }
}

TEST(CommandLine, PrinterAndNameRunWithTheDefaults)
{
    const Parsed p = Parse({"-p", "Label Printer", "-n", "K\xfc" "che"});
    EXPECT_EQ(p.result, COMMAND_LINE::Run);
    EXPECT_EQ(p.driver, "Label Printer");
    EXPECT_EQ(p.name, "K\xfc" "che");
    EXPECT_EQ(p.url, DEFAULT_SERVER_URL);
    EXPECT_EQ(p.dpi, 203);
    EXPECT_EQ(p.out, "");

    const std::string url = DEFAULT_SERVER_URL;
    EXPECT_EQ(url.rfind("ws://", 0), 0u);
    EXPECT_NE(url.find(":5905/"), std::string::npos);
    EXPECT_EQ(url.back(), '/');
}

TEST(CommandLine, LongFormsAndAnEmptyUrl)
{
    Parsed p = Parse({"--printer", "P", "--name", "N", "--url", "ws://10.0.0.5:7000/x", "--dpi", "300"});
    EXPECT_EQ(p.result, COMMAND_LINE::Run);
    EXPECT_EQ(p.url, "ws://10.0.0.5:7000/x");
    EXPECT_EQ(p.dpi, 300);
    p = Parse({"-p", "P", "-n", "N", "-u", ""});
    EXPECT_EQ(p.result, COMMAND_LINE::Run);
    EXPECT_EQ(p.url, DEFAULT_SERVER_URL);
}

TEST(CommandLine, OptionErrorsGoToStandardErrorWithStatusMinusOne)
{
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{"-p", "P", "-n", "N", "--dpi", "abc"}, "the argument ('abc') for option '--dpi' is invalid\n"},
        {{"-p", "P", "-n", "N", "--bogus"}, "unrecognised option '--bogus'\n"},
        {{"-p", "P", "-n", "N", "-n", "M"}, "option '--name' cannot be specified more than once\n"},
        {{"-n", "N", "-p"}, "the required argument for option '--printer' is missing\n"},
        {{"-p", "P", "-n", "N", "--help", "--dpi", "1.5"}, "the argument ('1.5') for option '--dpi' is invalid\n"},
    };
    for (const auto& c : cases) {
        const Parsed p = Parse(c.first);
        EXPECT_EQ(p.result, COMMAND_LINE::Error);
        EXPECT_EQ(ExitStatus(p.result), -1);
        EXPECT_EQ(p.err, c.second);
        EXPECT_EQ(p.out, "");
    }
}

}  // namespace
