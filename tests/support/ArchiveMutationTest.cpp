// Runs the archive reader on thousands of damaged variants of a valid
// archive: truncations, bit flips, and size, offset and count fields set
// to hostile values. Each must be read without a crash or a hang, and
// whatever the reader loads must hold as many bytes as a local header of the
// file announces. (The parser's own checks are fuzzed natively as well.)

#include <windows.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "OResourceFile.h"
#include "SampleFiles.h"
#include "TestArchive.h"

namespace {

const int ROUNDS_ = 1000;

uint32_t Get32(const std::string& s, size_t at)
{
    if (at + 4 > s.size())
        return 0;
    const auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])); };
    return b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}

std::string Mutate(const TestArchive& base, std::mt19937& rng)
{
    TestArchive a = base;
    const auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    const uint32_t hostile[] = {0, 1, 0x7FFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF, static_cast<uint32_t>(a.Bytes.size()),
                                static_cast<uint32_t>(a.Bytes.size() - 1), static_cast<uint32_t>(rng())};
    const uint32_t value = hostile[pick(sizeof(hostile) / sizeof(hostile[0]))];
    switch (pick(6)) {
    case 0:  // truncation
        a.Bytes.resize(pick(a.Bytes.size()));
        break;
    case 1:  // bit flips
        for (size_t n = 1 + pick(4); n > 0; --n)
            a.Bytes[pick(a.Bytes.size())] ^= static_cast<char>(1 << pick(8));
        break;
    case 2: {  // a field of the end record
        const size_t fields[] = {8, 10, 12, 16, 20};
        const size_t at = a.End + fields[pick(5)];
        if (at == a.End + 12 || at == a.End + 16)
            a.Put32(at, value);
        else
            a.Put16(at, static_cast<uint16_t>(value));
        break;
    }
    case 3: {  // a field of a central record
        const size_t at = a.Central[pick(a.Central.size())];
        const size_t fields[] = {20, 24, 28, 30, 32, 42};
        const size_t f = fields[pick(6)];
        if (f == 20 || f == 24 || f == 42)
            a.Put32(at + f, value);
        else
            a.Put16(at + f, static_cast<uint16_t>(value));
        break;
    }
    case 4: {  // a field of a local header
        const size_t at = a.Local[pick(a.Local.size())];
        const size_t fields[] = {8, 18, 22, 26, 28};
        const size_t f = fields[pick(5)];
        if (f == 18 || f == 22)
            a.Put32(at + f, value);
        else
            a.Put16(at + f, static_cast<uint16_t>(value));
        break;
    }
    default:  // random bytes over a stretch of the data
        for (size_t at = pick(a.Bytes.size()), n = 1 + pick(64); n > 0 && at < a.Bytes.size(); --n, ++at)
            a.Bytes[at] = static_cast<char>(rng());
        break;
    }
    return a.Bytes;
}

TEST(ArchiveMutation, DamagedArchivesNeverCrashTheReader)
{
    const TestArchive base = BuildArchive({{"one.txt", "first entry"},
                                           {"two.bin", Samples::PseudoRandom(3000)},
                                           {"three.txt", Samples::Alpha()},
                                           {"empty", ""}});
    const wchar_t* names[] = {L"one.txt", L"two.bin", L"three.txt", L"empty"};
    const std::wstring folder = Samples::FreshFolder(L"zp-mutation");
    const std::wstring path = folder + L"\\mutant.ddz";
    const std::wstring out = folder + L"\\out.bin";
    std::mt19937 rng(20261208);
    int loaded = 0;
    int wrong_size = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < ROUNDS_; ++round) {
        const std::string bytes = Mutate(base, rng);
        ASSERT_TRUE(Samples::WriteAll(path, bytes));
        OResourceFile archive;
        archive.Add(path.c_str());
        for (const wchar_t* name : names) {
            const OResource* e = archive.Find(name);
            if (!e)
                continue;
            ++loaded;
            // Some local header of the file announces exactly the loaded size.
            bool matched = false;
            for (size_t at = 0; at + 30 <= bytes.size(); ++at)
                if (Get32(bytes, at) == 0x04034B50 && Get32(bytes, at + 22) == e->GetSize())
                    matched = true;
            if (!matched)
                ++wrong_size;
        }
        if (round % 10 == 0)
            archive.Extract(names[round / 10 % 4], out.c_str(), 0);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Samples::RemoveFolder(folder);
    EXPECT_EQ(wrong_size, 0);
    EXPECT_GT(loaded, 0);  // the mutations leave many entries intact
    std::printf("%d archives in %.1f s, %d entries loaded\n", ROUNDS_, seconds, loaded);
}

}  // namespace
