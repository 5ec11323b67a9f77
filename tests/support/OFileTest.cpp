#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "OFile.h"
#include "SampleFiles.h"

namespace {

class OFileTest : public ::testing::Test {
protected:
    void SetUp() override { Folder_ = Samples::FreshFolder(L"zp-ofile"); }
    void TearDown() override { Samples::RemoveFolder(Folder_); }
    OString Path(const wchar_t* name) const { return OString((Folder_ + L"\\" + name).c_str()); }
    std::wstring Folder_;
};

TEST_F(OFileTest, OpenFlagsCreateTruncateAndKeep)
{
    OFile file;
    SetLastError(0);
    EXPECT_FALSE(file.Open(Path(L"missing.bin"), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(file.GetHandle(), nullptr);

    ASSERT_TRUE(file.Open(Path(L"new.bin"), OFILE_CREATE | OFILE_READWRITE));
    ULONGLONG size = 99;
    ASSERT_TRUE(file.GetSize(size));
    EXPECT_EQ(size, 0u);
    ASSERT_TRUE(file.Write("hello world", 11));
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(Samples::ReadAll(Path(L"new.bin").Wide()), "hello world");

    ASSERT_TRUE(file.Open(Path(L"new.bin"), OFILE_KEEP | OFILE_READWRITE));
    ASSERT_TRUE(file.Write("!", 1));
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(Samples::ReadAll(Path(L"new.bin").Wide()), "hello world!");

    ASSERT_TRUE(file.Open(Path(L"new.bin"), OFILE_CREATE | OFILE_READWRITE));  // truncates
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(Samples::ReadAll(Path(L"new.bin").Wide()), "");
}

TEST_F(OFileTest, SharingBitsDecideWhoElseMayOpen)
{
    OFile first;
    OFile second;
    ASSERT_TRUE(first.Open(Path(L"shared.bin"), OFILE_CREATE | OFILE_READWRITE | OFILE_SHARE_NONE));
    EXPECT_FALSE(second.Open(Path(L"shared.bin"), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ASSERT_TRUE(first.Open(Path(L"shared.bin"), OFILE_SHARE_READ));  // reopening closes the first handle
    EXPECT_TRUE(second.Open(Path(L"shared.bin"), OFILE_SHARE_READ));
    EXPECT_FALSE(OFile().Open(Path(L"shared.bin"), OFILE_READWRITE));
    second.Close();
    ASSERT_TRUE(first.Open(Path(L"shared.bin"), OFILE_READWRITE));  // 0: read and write shared
    EXPECT_TRUE(second.Open(Path(L"shared.bin"), OFILE_READWRITE));
}

TEST_F(OFileTest, BufferedWritesReadBackAcrossTheBufferSize)
{
    const std::string data = Samples::PseudoRandom(200000);
    OFile file;
    ASSERT_TRUE(file.Open(Path(L"big.bin"), OFILE_CREATE | OFILE_READWRITE));
    for (size_t at = 0; at < data.size(); at += 777) {
        const size_t part = data.size() - at < 777 ? data.size() - at : 777;
        ASSERT_TRUE(file.Write(data.data() + at, static_cast<DWORD>(part)));
    }
    ASSERT_TRUE(file.Write(data.data(), 100000));  // larger than the buffer in one call
    ULONGLONG size = 0;
    ASSERT_TRUE(file.GetSize(size));  // flushes first
    EXPECT_EQ(size, 300000u);
    ASSERT_TRUE(file.Seek(199990, FILE_BEGIN));
    char tail[20] = {};
    EXPECT_EQ(file.Read(tail, sizeof(tail)), 20u);
    EXPECT_EQ(std::string(tail, 10), data.substr(199990));
    EXPECT_EQ(std::string(tail + 10, 10), data.substr(0, 10));
    ASSERT_TRUE(file.Seek(0, FILE_END));
    EXPECT_EQ(file.Read(tail, sizeof(tail)), 0u);
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(Samples::ReadAll(Path(L"big.bin").Wide()), data + data.substr(0, 100000));
    EXPECT_FALSE(file.Write("x", 1) && file.Flush());  // closed
}

}  // namespace
