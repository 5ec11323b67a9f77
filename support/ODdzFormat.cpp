#include "ODdzFormat.h"

#include <cstring>
#include <new>

#include <zlib.h>

namespace ODdz {

namespace {

uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16)
         | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

DirectoryResult ReadDirectory(OSource& source, const std::function<bool(std::vector<uint8_t>&)>& on_record)
{
    uint64_t size = 0;
    uint8_t end[END_SIZE];
    if (!source.GetSize(size) || size < END_SIZE || !source.ReadAt(size - END_SIZE, end, END_SIZE)
        || Get32(end) != END_SIGNATURE)
        return DirectoryResult::NO_END;
    const uint32_t count = Get16(end + 10);
    const uint64_t directory_end = size - END_SIZE;
    uint64_t pos = Get32(end + 16);
    if (pos > directory_end)
        return DirectoryResult::DAMAGED;
    try {
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t head[CENTRAL_SIZE];
            if (directory_end - pos < CENTRAL_SIZE || !source.ReadAt(pos, head, CENTRAL_SIZE)
                || Get32(head) != CENTRAL_SIGNATURE)
                return DirectoryResult::DAMAGED;
            const uint16_t name_length = Get16(head + 28);
            if (directory_end - pos - CENTRAL_SIZE < name_length)
                return DirectoryResult::DAMAGED;
            std::vector<uint8_t> record(CENTRAL_SIZE + name_length);
            std::memcpy(record.data(), head, CENTRAL_SIZE);
            if (name_length && !source.ReadAt(pos + CENTRAL_SIZE, record.data() + CENTRAL_SIZE, name_length))
                return DirectoryResult::DAMAGED;
            if (!on_record(record))
                return DirectoryResult::DAMAGED;
            pos += CENTRAL_SIZE + name_length;
        }
    } catch (const std::bad_alloc&) {
        return DirectoryResult::DAMAGED;
    }
    return DirectoryResult::COMPLETE;
}

uint16_t CentralNameLength(const std::vector<uint8_t>& central)
{
    return central.size() >= CENTRAL_SIZE ? Get16(central.data() + 28) : 0;
}

uint32_t CentralLocalOffset(const std::vector<uint8_t>& central)
{
    return central.size() >= CENTRAL_SIZE ? Get32(central.data() + 42) : 0;
}

bool ReadLocalRecord(OSource& source, uint32_t offset, std::vector<uint8_t>& local)
{
    local.clear();
    uint64_t size = 0;
    uint8_t head[LOCAL_SIZE];
    if (!source.GetSize(size) || offset > size || size - offset < LOCAL_SIZE
        || !source.ReadAt(offset, head, LOCAL_SIZE) || Get32(head) != LOCAL_SIGNATURE)
        return false;
    const uint64_t tail = static_cast<uint64_t>(Get16(head + 26)) + Get32(head + 18);
    if (tail > size - offset - LOCAL_SIZE || LOCAL_SIZE + tail > SIZE_MAX)
        return false;
    try {
        local.resize(static_cast<size_t>(LOCAL_SIZE + tail));
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::memcpy(local.data(), head, LOCAL_SIZE);
    if (tail && !source.ReadAt(offset + LOCAL_SIZE, local.data() + LOCAL_SIZE, static_cast<size_t>(tail))) {
        std::vector<uint8_t>().swap(local);
        return false;
    }
    return true;
}

LocalInfo ParseLocal(const std::vector<uint8_t>& local)
{
    LocalInfo info = {};
    if (local.size() >= LOCAL_SIZE) {
        const uint8_t* p = local.data();
        info.DosTime = Get16(p + 10);
        info.DosDate = Get16(p + 12);
        info.CompressedSize = Get32(p + 18);
        info.UncompressedSize = Get32(p + 22);
        info.NameLength = Get16(p + 26);
    }
    return info;
}

bool Inflate(const std::vector<uint8_t>& local, std::vector<uint8_t>& data)
{
    std::vector<uint8_t>().swap(data);
    const LocalInfo info = ParseLocal(local);
    if (local.size() != static_cast<uint64_t>(LOCAL_SIZE) + info.NameLength + info.CompressedSize)
        return false;
    // One spare byte of output tells a stream that would inflate to more
    // than the header says from one that ends exactly there.
    if (info.UncompressedSize > info.CompressedSize * MAX_INFLATE_RATIO || info.UncompressedSize == UINT32_MAX)
        return false;
    const uint64_t room = static_cast<uint64_t>(info.UncompressedSize) + 1;
    if (room > SIZE_MAX)
        return false;
    try {
        data.resize(static_cast<size_t>(room));
    } catch (const std::bad_alloc&) {
        return false;
    }
    z_stream stream;
    std::memset(&stream, 0, sizeof(stream));
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        std::vector<uint8_t>().swap(data);
        return false;
    }
    stream.next_in = const_cast<Bytef*>(local.data() + LOCAL_SIZE + info.NameLength);
    stream.avail_in = info.CompressedSize;
    stream.next_out = data.data();
    stream.avail_out = static_cast<uInt>(room);
    const int result = inflate(&stream, Z_FINISH);
    const bool ended = result == Z_STREAM_END || (result == Z_BUF_ERROR && stream.avail_in == 0);
    const bool ok = ended && stream.avail_out == 1;
    inflateEnd(&stream);
    if (!ok) {
        std::vector<uint8_t>().swap(data);
        return false;
    }
    data.resize(info.UncompressedSize);
    return true;
}

}  // namespace ODdz
