// The fixed roots of the directory tree are real absolute paths. This test
// only runs where they cannot reach the machine's own /opt and /var: natively
// inside a private mount namespace with tmpfs over both, and under Wine on
// the prefix's own drive C:.

#include <filesystem>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "Core/CoreSys.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/vfs.h>
#endif

namespace fs = std::filesystem;

namespace {

class CoreSys : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef _WIN32
        ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\"));
#else
        struct statfs opt_fs, var_fs;
        const long TMPFS = 0x01021994;
        if (statfs("/opt", &opt_fs) != 0 || statfs("/var", &var_fs) != 0 || opt_fs.f_type != TMPFS ||
            var_fs.f_type != TMPFS)
            GTEST_SKIP() << "needs tmpfs over /opt and /var (run through ctest)";
#endif
        std::error_code ec;
        fs::remove_all("/opt/veltrin", ec);
        fs::remove_all("/var/veltrin", ec);
        fs::remove_all("/var/log/veltrin", ec);
        fs::create_directories("/opt/veltrin");
        fs::create_directories("/var/veltrin");
        fs::create_directories("/var/log/veltrin");
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all("/opt/veltrin", ec);
        fs::remove_all("/var/veltrin", ec);
        fs::remove_all("/var/log/veltrin", ec);
    }

    static std::vector<std::string> Lines(const std::string& text)
    {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    static std::string Msg(const fs::path& p) { return "Orvel.CoreSys Directory: " + p.string(); }

    static std::vector<std::string> InitializeAndCapture(const char* sys, const char* app)
    {
        ::testing::internal::CaptureStdout();
        _SYS::Initialize(sys, app);
        return Lines(::testing::internal::GetCapturedStdout());
    }
};

TEST_F(CoreSys, CreatesTheTreeInOrderAndOnlyOnce)
{
    const auto first = InitializeAndCapture("zelt", "printer.cpp");
    const fs::path app = fs::path("/opt/veltrin/app") / "zelt" / "printer.cpp";
    const std::vector<std::string> expected = {
        Msg("/opt/veltrin/app"),
        Msg(fs::path("/opt/veltrin/app") / "zelt"),
        Msg(app),
        Msg(app / "etc"),
        Msg(app / "bin"),
        Msg(app / "lib"),
        Msg(fs::path("/var/veltrin") / "zelt"),
        Msg(fs::path("/var/veltrin") / "zelt" / "printer.cpp"),
        Msg(fs::path("/var/log/veltrin") / "zelt"),
        Msg(fs::path("/var/log/veltrin") / "zelt" / "printer.cpp"),
    };
    EXPECT_EQ(first, expected);
    EXPECT_EQ(_SYS::DIR_APP(), app);
    EXPECT_EQ(_SYS::DIR_LOG(), fs::path("/var/log/veltrin") / "zelt" / "printer.cpp");
    EXPECT_EQ(_SYS::SysName(), "zelt");
    EXPECT_EQ(_SYS::AppName(), "printer.cpp");
    EXPECT_TRUE(fs::is_directory(app / "lib"));

    EXPECT_TRUE(InitializeAndCapture("zelt", "printer.cpp").empty());
}

TEST_F(CoreSys, MissingLogRootSkipsOnlyTheLogDirectories)
{
    fs::remove_all("/var/log/veltrin");
    const auto lines = InitializeAndCapture("zelt", "printer.cpp");
    EXPECT_EQ(lines.size(), 8u);
    EXPECT_FALSE(fs::exists(fs::path("/var/log/veltrin")));
    EXPECT_TRUE(fs::is_directory(fs::path("/var/veltrin") / "zelt" / "printer.cpp"));
}

TEST_F(CoreSys, AnExistingDirectoryIsSkippedSilently)
{
    fs::create_directories(fs::path("/opt/veltrin/app") / "zelt" / "printer.cpp" / "etc");
    const auto lines = InitializeAndCapture("zelt", "printer.cpp");
    EXPECT_EQ(lines.size(), 6u);
    for (const auto& line : lines)
        EXPECT_EQ(line.find("etc"), std::string::npos) << line;
    EXPECT_TRUE(fs::is_directory(fs::path("/opt/veltrin/app") / "zelt" / "printer.cpp" / "bin"));
}

}  // namespace
