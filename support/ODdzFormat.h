#pragma once
// Layout of the ".ddz" resource archives and the parsing that guards
// against damaged or hostile ones. Portable C++ (no Win32), so that it can
// be fuzzed natively; OResourceFile reaches the archive file through OSource.
//
// The format is a subset of ZIP (PKWARE APPNOTE), little-endian throughout:
//   end record      exactly the last 22 bytes: signature 0x06054B50, entry
//                   count (16 bits at 10), directory offset (32 bits at 16)
//   central record  46 bytes and the name, one after another: signature
//                   0x02014B50, name length (16 bits at 28), local header
//                   offset (32 bits at 42); extra field and comment absent
//   local record    30 bytes, the name, the raw deflate data: signature
//                   0x04034B50, DOS time (16 bits at 10) and date (at 12) in
//                   local time, compressed size (32 bits at 18),
//                   uncompressed size (32 bits at 22), name length (16 bits
//                   at 26); no extra field, no data descriptor
// Method, flags and CRC-32 are not read.
//
// Every size and offset read from an archive is checked against the file's
// real size before it is used: a record must lie inside the file (central
// records before the end record), and an uncompressed size may not exceed
// what deflate can produce from the compressed size (1032 bytes per byte).
// An entry loads only when its data inflates to exactly the uncompressed
// size of its local header.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace ODdz {

const uint32_t END_SIGNATURE = 0x06054B50;
const uint32_t CENTRAL_SIGNATURE = 0x02014B50;
const uint32_t LOCAL_SIGNATURE = 0x04034B50;
const uint32_t END_SIZE = 22;
const uint32_t CENTRAL_SIZE = 46;
const uint32_t LOCAL_SIZE = 30;
// Deflate's largest expansion: 258 bytes from a 2-bit length-distance pair.
const uint64_t MAX_INFLATE_RATIO = 1032;

// Random access to one archive's bytes.
class OSource {
public:
    virtual ~OSource() = default;
    virtual bool GetSize(uint64_t& size) = 0;
    // Reads exactly `size` bytes at `offset`; false on error or short read.
    virtual bool ReadAt(uint64_t offset, void* buffer, size_t size) = 0;
};

enum class DirectoryResult {
    COMPLETE,   // every record the end record announced was read
    NO_END,     // no end record in the last 22 bytes: the archive has no entries
    DAMAGED,    // the directory broke off; the records before it were delivered
};

// Delivers the central records (46 bytes and the name) in directory order.
// `on_record` returns false to stop (the result is then DAMAGED).
DirectoryResult ReadDirectory(OSource& source, const std::function<bool(std::vector<uint8_t>&)>& on_record);

uint16_t CentralNameLength(const std::vector<uint8_t>& central);
uint32_t CentralLocalOffset(const std::vector<uint8_t>& central);

// Reads the local record (30 bytes, name, compressed data) at `offset`.
bool ReadLocalRecord(OSource& source, uint32_t offset, std::vector<uint8_t>& local);

struct LocalInfo {
    uint16_t DosTime;
    uint16_t DosDate;
    uint16_t NameLength;
    uint32_t CompressedSize;
    uint32_t UncompressedSize;
};
// The fields of a record ReadLocalRecord accepted.
LocalInfo ParseLocal(const std::vector<uint8_t>& local);

// Inflates the data of a local record that ReadLocalRecord accepted into
// `data`, sized to the uncompressed size; false (and `data` empty) when the
// sizes are implausible, memory runs out, the stream is not raw deflate or
// it inflates to any other size.
bool Inflate(const std::vector<uint8_t>& local, std::vector<uint8_t>& data);

}  // namespace ODdz
