#pragma once
// The archive file behind the portable archive parser.

#include "ODdzFormat.h"
#include "OFile.h"

class ODdzFileSource : public ODdz::OSource {
public:
    // `file` is open for reading and outlives the source.
    explicit ODdzFileSource(OFile& file) : File_(file) {}

    bool GetSize(uint64_t& size) override;
    bool ReadAt(uint64_t offset, void* buffer, size_t size) override;

private:
    OFile& File_;
};
