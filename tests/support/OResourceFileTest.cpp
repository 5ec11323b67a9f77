#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ImportHook.h"
#include "LargestAllocation.h"
#include "OResourceFile.h"
#include "SampleFiles.h"
#include "TestArchive.h"

namespace {

std::wstring Sample(const wchar_t* name)
{
    return Samples::ArchiveFolder() + L"\\" + name;
}

std::string Content(const OResource* entry)
{
    return std::string(reinterpret_cast<const char*>(entry->GetData()), entry->GetSize());
}

ULONGLONG Ticks(const FILETIME& t)
{
    return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

FILETIME FromTicks(ULONGLONG ticks)
{
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(ticks);
    t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return t;
}

// The entry time of the sample archives in UTC: ddzpack stored 22:13:20
// on 2023-11-14, which the reader takes as local time of this machine.
ULONGLONG ExpectedEntryTicks()
{
    TIME_ZONE_INFORMATION zone;
    const DWORD id = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias;
    if (id == TIME_ZONE_ID_DAYLIGHT)
        bias += zone.DaylightBias;
    else if (id == TIME_ZONE_ID_STANDARD)
        bias += zone.StandardBias;
    const LONGLONG unix_seconds = Samples::EPOCH + bias * 60LL;
    return static_cast<ULONGLONG>(unix_seconds + 11644473600LL) * 10000000ULL;
}

bool UnderWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(ResourceArchive, ReadsEveryEntryDdzpackPacked)
{
    ASSERT_FALSE(Samples::ArchiveFolder().empty()) << "ZP_TEST_ARCHIVES is not set";
    OResourceFile archive;
    ASSERT_TRUE(archive.Add(Sample(L"sample.ddz").c_str()));
    const OResource* alpha = archive.Find(L"alpha.txt");
    ASSERT_NE(alpha, nullptr);
    EXPECT_EQ(Content(alpha), Samples::Alpha());
    EXPECT_EQ(Ticks(alpha->GetTime()), ExpectedEntryTicks());
    const OResource* bravo = archive.Find(L"Bravo.bin");
    ASSERT_NE(bravo, nullptr);
    EXPECT_EQ(Content(bravo), Samples::Bravo());
    const OResource* module = archive.Find(L"bwtcpipmon[enu].dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Content(module), Samples::Module());
    const OResource* empty = archive.Find(L"empty.dat");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->GetSize(), 0u);
    const OResource* accent = archive.Find(L"caf\u00e9.txt");
    ASSERT_NE(accent, nullptr);
    EXPECT_EQ(Content(accent), "accent");
}

TEST(ResourceArchive, LooksNamesUpIgnoringAsciiCaseOnly)
{
    OResourceFile archive;
    archive.Add(Sample(L"sample.ddz").c_str());
    const OResource* module = archive.Find(L"BWTCPIPMON[ENU].DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_STREQ(module->GetName().Wide(), L"bwtcpipmon[enu].dll");
    EXPECT_EQ(archive.Find(L"ALPHA.TXT"), archive.Find(L"alpha.txt"));
    EXPECT_NE(archive.Find(L"bRAVO.BIN"), nullptr);
    EXPECT_NE(archive.Find(L"CAF\u00e9.TXT"), nullptr);
    SetLastError(0);
    EXPECT_EQ(archive.Find(L"CAF\u00c9.TXT"), nullptr);  // an accented capital is another letter
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(archive.Find(L"alpha.tx"), nullptr);
    EXPECT_EQ(archive.Find(L"alpha.txt "), nullptr);
}

TEST(ResourceArchive, ReadsArchivesInTheOrderAdded)
{
    OResourceFile archive;
    archive.Add(Sample(L"sample.ddz").c_str());
    archive.Add(Sample(L"second.ddz").c_str());
    const OResource* alpha = archive.Find(L"alpha.txt");  // in both: the first archive's wins
    ASSERT_NE(alpha, nullptr);
    EXPECT_STREQ(alpha->GetArchive().Wide(), Sample(L"sample.ddz").c_str());
    const OResource* other = archive.Find(L"other.txt");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(Content(other), "from the second archive");

    // A missing archive ends that directory read; the next Find reads on.
    OResourceFile after_missing;
    after_missing.Add(Sample(L"no-such.ddz").c_str());
    after_missing.Add(Sample(L"second.ddz").c_str());
    EXPECT_EQ(after_missing.Find(L"other.txt"), nullptr);
    EXPECT_NE(after_missing.Find(L"other.txt"), nullptr);
}

TEST(ResourceArchive, SharedByThreads)
{
    OResourceFile archive;
    archive.Add(Sample(L"sample.ddz").c_str());
    archive.Add(Sample(L"second.ddz").c_str());
    const std::string alpha = Samples::Alpha();
    const std::string bravo = Samples::Bravo();
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const bool pick = ((i + t) & 1) != 0;
                const OResource* e = archive.Find(pick ? L"ALPHA.txt" : L"bravo.bin");
                if (!e || Content(e) != (pick ? alpha : bravo))
                    ++wrong[t];
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

class ArchiveFiles : public ::testing::Test {
protected:
    void SetUp() override { Folder_ = Samples::FreshFolder(L"zp-archive"); }
    void TearDown() override { Samples::RemoveFolder(Folder_); }

    std::wstring Path(const wchar_t* name) const { return Folder_ + L"\\" + name; }

    // Writes an archive into the test folder and reads it afresh.
    OResourceFile* Load(const std::string& bytes)
    {
        EXPECT_TRUE(Samples::WriteAll(Path(L"test.ddz"), bytes));
        Archive_.reset(new OResourceFile);
        Archive_->Add(Path(L"test.ddz").c_str());
        return Archive_.get();
    }

    std::wstring Folder_;
    std::unique_ptr<OResourceFile> Archive_;
};

TEST_F(ArchiveFiles, EntriesStayInMemoryOnceLoaded)
{
    const std::wstring copy = Path(L"copy.ddz");
    ASSERT_TRUE(CopyFileW(Sample(L"sample.ddz").c_str(), copy.c_str(), FALSE));
    OResourceFile archive;
    archive.Add(copy.c_str());
    ASSERT_NE(archive.Find(L"alpha.txt"), nullptr);
    ASSERT_TRUE(DeleteFileW(copy.c_str()));
    EXPECT_TRUE(archive.Extract(L"alpha.txt", Path(L"alpha.out").c_str(), 0));
    EXPECT_EQ(Samples::ReadAll(Path(L"alpha.out")), Samples::Alpha());
    EXPECT_EQ(archive.Find(L"Bravo.bin"), nullptr);  // never loaded, and the archive is gone
}

TEST_F(ArchiveFiles, ExtractionGivesTheFileTheEntryTimeInUtc)
{
    OResourceFile archive;
    archive.Add(Sample(L"sample.ddz").c_str());
    const std::wstring dest = Path(L"module.dll");
    ASSERT_TRUE(Samples::WriteAll(dest, std::string(300000, 'x')));  // longer than the entry: truncated
    ASSERT_TRUE(archive.Extract(L"BWTCPIPMON[ENU].DLL", dest.c_str(), 0));
    // The times first: reading the file may change its last-access time.
    HANDLE h = CreateFileW(dest.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME created, accessed, written;
    ASSERT_TRUE(GetFileTime(h, &created, &accessed, &written));
    CloseHandle(h);
    const ULONGLONG expected = ExpectedEntryTicks();
    EXPECT_EQ(Ticks(created), expected);
    EXPECT_EQ(Ticks(accessed), expected);
    EXPECT_EQ(Ticks(written), expected);
    EXPECT_EQ(Samples::ReadAll(dest), Samples::Module());

    SetLastError(0);
    EXPECT_FALSE(archive.Extract(L"missing.txt", dest.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(ArchiveFiles, UpToDateFlagSkipsDestinationsNotOlder)
{
    OResourceFile archive;
    archive.Add(Sample(L"sample.ddz").c_str());
    const std::wstring dest = Path(L"alpha.txt");
    const ULONGLONG entry = ExpectedEntryTicks();
    const auto prepare = [&](ULONGLONG written) {
        ASSERT_TRUE(Samples::WriteAll(dest, "local copy"));
        HANDLE h = CreateFileW(dest.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        const FILETIME t = FromTicks(written);
        ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &t));
        CloseHandle(h);
    };
    prepare(entry);  // same time: nothing written
    EXPECT_TRUE(archive.Extract(L"alpha.txt", dest.c_str(), OResourceFile::EXTRACT_IF_NEWER));
    EXPECT_EQ(Samples::ReadAll(dest), "local copy");
    prepare(entry + 3600ULL * 10000000ULL);  // newer
    EXPECT_TRUE(archive.Extract(L"alpha.txt", dest.c_str(), OResourceFile::EXTRACT_IF_NEWER));
    EXPECT_EQ(Samples::ReadAll(dest), "local copy");
    prepare(entry - 2ULL * 10000000ULL);  // older
    EXPECT_TRUE(archive.Extract(L"alpha.txt", dest.c_str(), OResourceFile::EXTRACT_IF_NEWER));
    EXPECT_EQ(Samples::ReadAll(dest), Samples::Alpha());
    ASSERT_TRUE(DeleteFileW(dest.c_str()));  // missing
    EXPECT_TRUE(archive.Extract(L"alpha.txt", dest.c_str(), OResourceFile::EXTRACT_IF_NEWER));
    EXPECT_EQ(Samples::ReadAll(dest), Samples::Alpha());
}

// Calls of SetFileAttributesW: the attributes asked for and the file's size
// at that moment.
struct AttributeCall {
    std::wstring Path;
    DWORD Attributes;
    LONGLONG SizeAtCall;
    BOOL Result;
};
std::vector<AttributeCall> AttributeCalls_;
decltype(&SetFileAttributesW) RealSetFileAttributes_ = nullptr;

BOOL WINAPI RecordSetFileAttributes(LPCWSTR path, DWORD attributes)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    LONGLONG size = -1;
    if (GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        size = (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    const BOOL result = RealSetFileAttributes_(path, attributes);
    AttributeCalls_.push_back({path, attributes, size, result});
    return result;
}

TEST_F(ArchiveFiles, AttributeFlagsClearBeforeAndMarkTemporaryAfterWriting)
{
    OResourceFile archive;
    archive.Add(Sample(L"sample.ddz").c_str());
    const std::wstring dest = Path(L"bravo.tmp");
    ASSERT_TRUE(Samples::WriteAll(dest, "old"));
    AttributeCalls_.clear();
    RealSetFileAttributes_ = reinterpret_cast<decltype(&SetFileAttributesW)>(
        HookImport("kernel32.dll", "SetFileAttributesW", reinterpret_cast<void*>(&RecordSetFileAttributes)));
    ASSERT_NE(RealSetFileAttributes_, nullptr);
    const BOOL ok = archive.Extract(L"Bravo.bin", dest.c_str(),
                                    OResourceFile::EXTRACT_CLEAR_ATTRIBUTES | OResourceFile::EXTRACT_TEMPORARY);
    HookImport("kernel32.dll", "SetFileAttributesW", reinterpret_cast<void*>(RealSetFileAttributes_));
    ASSERT_TRUE(ok);
    ASSERT_EQ(AttributeCalls_.size(), 2u);
    EXPECT_EQ(AttributeCalls_[0].Path, dest);
    EXPECT_EQ(AttributeCalls_[0].Attributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(AttributeCalls_[0].SizeAtCall, 3);  // before writing
    EXPECT_EQ(AttributeCalls_[1].Path, dest);
    EXPECT_EQ(AttributeCalls_[1].Attributes, static_cast<DWORD>(FILE_ATTRIBUTE_TEMPORARY));
    EXPECT_EQ(AttributeCalls_[1].SizeAtCall, 70000);  // after writing
    EXPECT_TRUE(AttributeCalls_[1].Result);
    // Wine accepts the temporary attribute but does not keep it.
    if (!UnderWine()) {
        EXPECT_TRUE(GetFileAttributesW(dest.c_str()) & FILE_ATTRIBUTE_TEMPORARY);
    }
    EXPECT_EQ(Samples::ReadAll(dest), Samples::Bravo());
}

std::vector<std::wstring> PendingRenames()
{
    std::vector<std::wstring> out;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key))
        return out;
    DWORD size = 0;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<WCHAR> data(size / sizeof(WCHAR) + 2, 0);
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()),
                         &size);
        for (const WCHAR* p = data.data(); *p; p += wcslen(p) + 1)
            out.push_back(p);
    }
    RegCloseKey(key);
    return out;
}

void RestorePendingRenames(const std::vector<std::wstring>& entries)
{
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                            KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    if (entries.empty()) {
        RegDeleteValueW(key, L"PendingFileRenameOperations");
    } else {
        std::wstring data;
        for (const std::wstring& e : entries)
            data += e + L'\0';
        data += L'\0';
        RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                       reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size() * sizeof(WCHAR)));
    }
    RegCloseKey(key);
}

TEST_F(ArchiveFiles, LockedDestinationIsReplacedAtRestartUnlessTemporary)
{
    OResourceFile archive;
    archive.Add(Sample(L"sample.ddz").c_str());
    const std::wstring dest = Path(L"locked.txt");
    ASSERT_TRUE(Samples::WriteAll(dest, "in use"));
    HANDLE lock = CreateFileW(dest.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    const std::vector<std::wstring> before = PendingRenames();

    SetLastError(0);
    EXPECT_FALSE(archive.Extract(L"alpha.txt", dest.c_str(), OResourceFile::EXTRACT_TEMPORARY));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(PendingRenames(), before);

    EXPECT_TRUE(archive.Extract(L"alpha.txt", dest.c_str(), 0));
    CloseHandle(lock);
    const std::vector<std::wstring> after = PendingRenames();
    RestorePendingRenames(before);
    ASSERT_EQ(after.size(), before.size() + 2);
    std::wstring source = after[before.size()];
    const std::wstring target = after[before.size() + 1];
    ASSERT_EQ(source.compare(0, 4, L"\\??\\"), 0);
    source = source.substr(4);
    EXPECT_NE(source.find(L"\\Brenwick\\Drivers\\Temp\\bw#"), std::wstring::npos) << source.c_str();
    EXPECT_EQ(Samples::ReadAll(source), Samples::Alpha());
    EXPECT_EQ(target, L"!\\??\\" + dest);  // "!": replace an existing file
    EXPECT_EQ(Samples::ReadAll(dest), "in use");
    DeleteFileW(source.c_str());
}

// Three entries, the archive's bytes and the offsets of its records.
TestArchive ThreeEntries()
{
    return BuildArchive({{"one.txt", "first entry"}, {"two.txt", Samples::Alpha()}, {"three.txt", "third entry"}});
}

TEST_F(ArchiveFiles, DamagedDirectoriesKeepTheEntriesBeforeTheDamage)
{
    EXPECT_NE(Load(ThreeEntries().Bytes)->Find(L"three.txt"), nullptr);

    // An archive comment moves the end record out of the last 22 bytes.
    EXPECT_EQ(Load(BuildArchive({{"one.txt", "first entry"}}, "a comment").Bytes)->Find(L"one.txt"), nullptr);

    // An extra field in a central record is not skipped: the next record
    // is not found where it should be.
    std::vector<TestEntry> entries = {{"one.txt", "1"}, {"two.txt", "2"}, {"three.txt", "3"}};
    entries[1].flagCentralExtra = true;
    OResourceFile* archive = Load(BuildArchive(entries).Bytes);
    EXPECT_NE(archive->Find(L"one.txt"), nullptr);
    EXPECT_NE(archive->Find(L"two.txt"), nullptr);
    EXPECT_EQ(archive->Find(L"three.txt"), nullptr);
    for (TestEntry& e : entries)
        e.flagCentralExtra = true;
    archive = Load(BuildArchive(entries).Bytes);
    EXPECT_NE(archive->Find(L"one.txt"), nullptr);
    EXPECT_EQ(archive->Find(L"two.txt"), nullptr);

    // Truncated files lose their end record.
    const std::string whole = Samples::ReadAll(Sample(L"sample.ddz"));
    ASSERT_FALSE(whole.empty());
    EXPECT_EQ(Load(whole.substr(0, whole.size() / 2))->Find(L"alpha.txt"), nullptr);
    EXPECT_EQ(Load(whole.substr(0, whole.size() - 1))->Find(L"alpha.txt"), nullptr);
    EXPECT_EQ(Load(whole.substr(0, 21))->Find(L"alpha.txt"), nullptr);
    EXPECT_EQ(Load(std::string())->Find(L"alpha.txt"), nullptr);

    // A directory offset past the end record.
    TestArchive a = ThreeEntries();
    a.Put32(a.End + 16, static_cast<uint32_t>(a.End + 1));
    EXPECT_EQ(Load(a.Bytes)->Find(L"one.txt"), nullptr);

    // A name length reaching past the directory stops at that record.
    a = ThreeEntries();
    a.Put16(a.Central[1] + 28, 0xFFFF);
    archive = Load(a.Bytes);
    EXPECT_NE(archive->Find(L"one.txt"), nullptr);
    EXPECT_EQ(archive->Find(L"two.txt"), nullptr);
    EXPECT_EQ(archive->Find(L"three.txt"), nullptr);
}

TEST_F(ArchiveFiles, EntryCountsAreBoundedByTheDirectory)
{
    TestArchive a = ThreeEntries();
    a.Put16(a.End + 10, 8);  // more entries than the directory holds
    OResourceFile* archive = Load(a.Bytes);
    EXPECT_NE(archive->Find(L"one.txt"), nullptr);
    EXPECT_NE(archive->Find(L"three.txt"), nullptr);
    a.Put16(a.End + 10, 0xFFFF);
    EXPECT_NE(Load(a.Bytes)->Find(L"three.txt"), nullptr);
    a.Put16(a.End + 10, 1);  // fewer
    archive = Load(a.Bytes);
    EXPECT_NE(archive->Find(L"one.txt"), nullptr);
    EXPECT_EQ(archive->Find(L"two.txt"), nullptr);
}

TEST_F(ArchiveFiles, DamagedEntriesFailToLoadWithoutHarmingOthers)
{
    LargestAllocation_ = 0;
    const auto only_two_fails = [&](const TestArchive& a, const char* what) {
        OResourceFile* archive = Load(a.Bytes);
        SetLastError(0);
        EXPECT_EQ(archive->Find(L"two.txt"), nullptr) << what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << what;
        const OResource* three = archive->Find(L"three.txt");
        ASSERT_NE(three, nullptr) << what;
        EXPECT_EQ(Content(three), "third entry") << what;
        EXPECT_FALSE(archive->Extract(L"two.txt", Path(L"two.out").c_str(), 0)) << what;
    };
    std::vector<TestEntry> entries = {{"one.txt", "first entry"}, {"two.txt", Samples::Alpha()},
                                      {"three.txt", "third entry"}};
    entries[1].flagStored = true;
    only_two_fails(BuildArchive(entries), "stored entry");

    TestArchive a = ThreeEntries();
    a.Put32(a.Central[1] + 42, static_cast<uint32_t>(a.Bytes.size()));
    only_two_fails(a, "local header offset at the end");
    a = ThreeEntries();
    a.Put32(a.Central[1] + 42, 0xFFFFFFF0u);
    only_two_fails(a, "local header offset far past the end");
    a = ThreeEntries();
    a.Put32(a.Central[1] + 42, static_cast<uint32_t>(a.Local[1] + 1));
    only_two_fails(a, "local header offset off by one");

    const size_t compressed = a.Get32(a.Local[1] + 18);
    a = ThreeEntries();
    a.Put32(a.Local[1] + 18, 0x7FFFFFF0u);
    only_two_fails(a, "compressed size past the end");
    a = ThreeEntries();
    a.Put16(a.Local[1] + 26, 0xFFFF);
    only_two_fails(a, "local name length past the end");
    a = ThreeEntries();
    a.Put32(a.Local[1] + 22, static_cast<uint32_t>(compressed * 1032 + 1));
    only_two_fails(a, "uncompressed size beyond any deflate stream");
    a = ThreeEntries();
    a.Put32(a.Local[1] + 22, 0xFFFFFFFFu);
    only_two_fails(a, "uncompressed size of 4 GiB");
    a = ThreeEntries();
    a.Put32(a.Local[1] + 22, static_cast<uint32_t>(Samples::Alpha().size() + 1));
    only_two_fails(a, "uncompressed size one more than the data");
    a = ThreeEntries();
    a.Put32(a.Local[1] + 22, static_cast<uint32_t>(Samples::Alpha().size() - 1));
    only_two_fails(a, "uncompressed size one less than the data");
    a = ThreeEntries();
    a.Put32(a.Local[1], 0x04034B51);
    only_two_fails(a, "local signature");
    a = ThreeEntries();
    a.Put32(a.Local[1] + 18, a.Get32(a.Local[1] + 18) - 3);
    only_two_fails(a, "compressed data cut short");

    // No size read from an archive led to a large allocation.
    EXPECT_LT(LargestAllocation_.load(), static_cast<size_t>(1) << 20);
}

}  // namespace
