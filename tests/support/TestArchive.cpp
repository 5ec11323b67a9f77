#include "TestArchive.h"

#include <cstring>

#include <zlib.h>

namespace {

void Add16(std::string& out, uint32_t v)
{
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void Add32(std::string& out, uint32_t v)
{
    Add16(out, v & 0xFFFF);
    Add16(out, v >> 16);
}

const uint16_t DOS_TIME_ = (22 << 11) | (13 << 5) | 10;
const uint16_t DOS_DATE_ = (43 << 9) | (11 << 5) | 14;

}  // namespace

std::string Deflate(const std::string& data)
{
    z_stream z;
    std::memset(&z, 0, sizeof(z));
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

TestArchive BuildArchive(const std::vector<TestEntry>& entries, const std::string& comment)
{
    TestArchive a;
    std::string central;
    std::vector<size_t> central_rel;
    for (const TestEntry& e : entries) {
        const std::string packed = e.flagStored ? e.Data : Deflate(e.Data);
        const uint32_t crc = crc32(0, reinterpret_cast<const Bytef*>(e.Data.data()), static_cast<uInt>(e.Data.size()));
        const uint16_t method = e.flagStored ? 0 : 8;
        a.Local.push_back(a.Bytes.size());
        std::string& l = a.Bytes;
        Add32(l, 0x04034B50);
        Add16(l, 20);
        Add16(l, 0);
        Add16(l, method);
        Add16(l, DOS_TIME_);
        Add16(l, DOS_DATE_);
        Add32(l, crc);
        Add32(l, static_cast<uint32_t>(packed.size()));
        Add32(l, static_cast<uint32_t>(e.Data.size()));
        Add16(l, static_cast<uint32_t>(e.Name.size()));
        Add16(l, 0);
        l += e.Name;
        l += packed;

        central_rel.push_back(central.size());
        std::string& c = central;
        Add32(c, 0x02014B50);
        Add16(c, 20);
        Add16(c, 20);
        Add16(c, 0);
        Add16(c, method);
        Add16(c, DOS_TIME_);
        Add16(c, DOS_DATE_);
        Add32(c, crc);
        Add32(c, static_cast<uint32_t>(packed.size()));
        Add32(c, static_cast<uint32_t>(e.Data.size()));
        Add16(c, static_cast<uint32_t>(e.Name.size()));
        Add16(c, e.flagCentralExtra ? 4 : 0);
        Add16(c, 0);
        Add16(c, 0);
        Add16(c, 0);
        Add32(c, 0);
        Add32(c, static_cast<uint32_t>(a.Local.back()));
        c += e.Name;
        if (e.flagCentralExtra) {
            Add16(c, 0xCAFE);  // an unknown extra block with no data
            Add16(c, 0);
        }
    }
    const size_t directory = a.Bytes.size();
    for (size_t rel : central_rel)
        a.Central.push_back(directory + rel);
    a.Bytes += central;
    a.End = a.Bytes.size();
    Add32(a.Bytes, 0x06054B50);
    Add16(a.Bytes, 0);
    Add16(a.Bytes, 0);
    Add16(a.Bytes, static_cast<uint32_t>(entries.size()));
    Add16(a.Bytes, static_cast<uint32_t>(entries.size()));
    Add32(a.Bytes, static_cast<uint32_t>(central.size()));
    Add32(a.Bytes, static_cast<uint32_t>(directory));
    Add16(a.Bytes, static_cast<uint32_t>(comment.size()));
    a.Bytes += comment;
    return a;
}

void TestArchive::Put16(size_t at, uint16_t v)
{
    Bytes[at] = static_cast<char>(v & 0xFF);
    Bytes[at + 1] = static_cast<char>(v >> 8);
}

void TestArchive::Put32(size_t at, uint32_t v)
{
    Put16(at, v & 0xFFFF);
    Put16(at + 2, static_cast<uint16_t>(v >> 16));
}

uint32_t TestArchive::Get32(size_t at) const
{
    const auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(Bytes[at + i])); };
    return b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}
