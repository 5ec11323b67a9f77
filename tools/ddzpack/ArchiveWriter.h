#pragma once
// Writes the ".ddz" archive subset: for every entry a local header (with
// the sizes and the CRC-32, no extra field) followed by raw deflate data,
// then the central directory (no extra fields, no comments) and the end
// record as the last 22 bytes. Fixed fields are constant, so the same
// entries give the same bytes.

#include <cstdint>
#include <string>
#include <vector>

#include "DosTime.h"

namespace _DDZPACK {

class ArchiveWriter {
public:
    // `fd` is an empty file open for writing and seeking.
    explicit ArchiveWriter(int fd);

    // Packs the file at `path` as `name`. Throws std::runtime_error.
    void Add(const std::string& name, const std::string& path, DosTime time);
    // Writes the directory and the end record. Throws std::runtime_error.
    void Finish();

private:
    void Append(const void* data, size_t size);

    int Fd_;
    uint64_t Offset_;
    uint32_t Count_;
    std::vector<uint8_t> Central_;
};

}  // namespace _DDZPACK
