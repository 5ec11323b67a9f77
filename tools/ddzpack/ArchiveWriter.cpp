#include "ArchiveWriter.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace _DDZPACK {

namespace {

const uint32_t LIMIT_32_ = 0xFFFFFFFFu;
const uint16_t VERSION_ = 20;           // 2.0: deflate
const uint16_t FLAG_UTF8_NAME_ = 0x0800;
const uint16_t METHOD_DEFLATE_ = 8;
const size_t CHUNK_ = 64 * 1024;

void Put16(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v)
{
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

void Set32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

bool IsAscii(const std::string& s)
{
    for (unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

std::runtime_error FileError(const std::string& what, const std::string& path)
{
    return std::runtime_error(what + " '" + path + "': " + std::strerror(errno));
}

struct Fd {
    int Value;
    ~Fd()
    {
        if (Value >= 0)
            close(Value);
    }
};

struct Deflater {
    z_stream Stream;
    bool flagReady = false;
    Deflater()
    {
        std::memset(&Stream, 0, sizeof(Stream));
        if (deflateInit2(&Stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("cannot initialise zlib");
        flagReady = true;
    }
    ~Deflater()
    {
        if (flagReady)
            deflateEnd(&Stream);
    }
};

}  // namespace

ArchiveWriter::ArchiveWriter(int fd) : Fd_(fd), Offset_(0), Count_(0) {}

void ArchiveWriter::Append(const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = write(Fd_, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::string("cannot write the archive: ") + std::strerror(errno));
        }
        p += n;
        size -= static_cast<size_t>(n);
        Offset_ += static_cast<uint64_t>(n);
    }
}

void ArchiveWriter::Add(const std::string& name, const std::string& path, DosTime time)
{
    if (Count_ == 0xFFFF)
        throw std::runtime_error("more than 65535 entries");
    if (name.empty() || name.size() > 0xFFFF)
        throw std::runtime_error("entry name of '" + path + "' is empty or longer than 65535 bytes");
    if (Offset_ > LIMIT_32_)
        throw std::runtime_error("archive larger than 4 GiB at '" + path + "'");
    Fd in{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.Value < 0)
        throw FileError("cannot open", path);
    struct stat st;
    if (fstat(in.Value, &st) != 0)
        throw FileError("cannot read", path);
    if (!S_ISREG(st.st_mode))
        throw std::runtime_error("'" + path + "' is not a regular file");
    if (static_cast<uint64_t>(st.st_size) > LIMIT_32_)
        throw std::runtime_error("'" + path + "' is larger than 4 GiB - 1 bytes");

    const uint32_t header_offset = static_cast<uint32_t>(Offset_);
    const uint16_t flags = IsAscii(name) ? 0 : FLAG_UTF8_NAME_;
    std::vector<uint8_t> header;
    Put32(header, 0x04034B50);
    Put16(header, VERSION_);
    Put16(header, flags);
    Put16(header, METHOD_DEFLATE_);
    Put16(header, time.Time);
    Put16(header, time.Date);
    Put32(header, 0);  // CRC-32, compressed and uncompressed size: filled in below
    Put32(header, 0);
    Put32(header, 0);
    Put16(header, static_cast<uint32_t>(name.size()));
    Put16(header, 0);  // no extra field
    header.insert(header.end(), name.begin(), name.end());
    Append(header.data(), header.size());

    Deflater deflater;
    z_stream& z = deflater.Stream;
    std::unique_ptr<uint8_t[]> input(new uint8_t[CHUNK_]);
    std::unique_ptr<uint8_t[]> output(new uint8_t[CHUNK_]);
    uLong crc = crc32(0, Z_NULL, 0);
    uint64_t read_total = 0;
    const uint64_t data_start = Offset_;
    int flush = Z_NO_FLUSH;
    do {
        const ssize_t n = read(in.Value, input.get(), CHUNK_);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw FileError("cannot read", path);
        }
        read_total += static_cast<uint64_t>(n);
        if (read_total > LIMIT_32_)
            throw std::runtime_error("'" + path + "' is larger than 4 GiB - 1 bytes");
        crc = crc32(crc, input.get(), static_cast<uInt>(n));
        flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        z.next_in = input.get();
        z.avail_in = static_cast<uInt>(n);
        do {
            z.next_out = output.get();
            z.avail_out = CHUNK_;
            const int result = deflate(&z, flush);
            if (result == Z_STREAM_ERROR)
                throw std::runtime_error("zlib failed on '" + path + "'");
            Append(output.get(), CHUNK_ - z.avail_out);
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);
    const uint64_t compressed = Offset_ - data_start;
    if (compressed > LIMIT_32_)
        throw std::runtime_error("compressed data of '" + path + "' is larger than 4 GiB - 1 bytes");

    uint8_t sizes[12];
    Set32(sizes, static_cast<uint32_t>(crc));
    Set32(sizes + 4, static_cast<uint32_t>(compressed));
    Set32(sizes + 8, static_cast<uint32_t>(read_total));
    if (pwrite(Fd_, sizes, sizeof(sizes), static_cast<off_t>(header_offset) + 14) != static_cast<ssize_t>(sizeof(sizes)))
        throw std::runtime_error(std::string("cannot write the archive: ") + std::strerror(errno));

    Put32(Central_, 0x02014B50);
    Put16(Central_, VERSION_);  // made by: MS-DOS host, 2.0; no external attributes
    Put16(Central_, VERSION_);
    Put16(Central_, flags);
    Put16(Central_, METHOD_DEFLATE_);
    Put16(Central_, time.Time);
    Put16(Central_, time.Date);
    Central_.insert(Central_.end(), sizes, sizes + sizeof(sizes));
    Put16(Central_, static_cast<uint32_t>(name.size()));
    Put16(Central_, 0);  // extra field length
    Put16(Central_, 0);  // comment length
    Put16(Central_, 0);  // disk number
    Put16(Central_, 0);  // internal attributes
    Put32(Central_, 0);  // external attributes
    Put32(Central_, header_offset);
    Central_.insert(Central_.end(), name.begin(), name.end());
    ++Count_;
}

void ArchiveWriter::Finish()
{
    const uint64_t directory_offset = Offset_;
    if (directory_offset > LIMIT_32_ || Central_.size() > LIMIT_32_ - directory_offset)
        throw std::runtime_error("archive larger than 4 GiB");
    std::vector<uint8_t> end;
    Put32(end, 0x06054B50);
    Put16(end, 0);  // this disk
    Put16(end, 0);  // disk of the directory
    Put16(end, Count_);
    Put16(end, Count_);
    Put32(end, static_cast<uint32_t>(Central_.size()));
    Put32(end, static_cast<uint32_t>(directory_offset));
    Put16(end, 0);  // no comment
    Append(Central_.data(), Central_.size());
    Append(end.data(), end.size());
}

}  // namespace _DDZPACK
