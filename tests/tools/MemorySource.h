#pragma once
// An archive held in memory behind the archive parser. The parser checks
// every offset and size against the archive's size before it reads, so a
// read outside the bytes is a fault of the parser: it stops the process.

#include <cstdlib>
#include <cstring>

#include "ODdzFormat.h"

class MemorySource : public ODdz::OSource {
public:
    MemorySource(const uint8_t* data, size_t size) : Data_(data), Size_(size) {}

    bool GetSize(uint64_t& size) override
    {
        size = Size_;
        return true;
    }

    bool ReadAt(uint64_t offset, void* buffer, size_t size) override
    {
        if (offset > Size_ || size > Size_ - offset)
            std::abort();
        if (size)
            std::memcpy(buffer, Data_ + offset, size);
        return true;
    }

private:
    const uint8_t* Data_;
    size_t Size_;
};
