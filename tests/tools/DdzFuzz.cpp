// libFuzzer target of the archive parser: the input is an archive. Besides
// crashes and sanitizer reports it checks what the parser promises: reads
// stay inside the archive (MemorySource), records have the sizes their
// headers give, and loaded data has exactly the uncompressed size.

#include <cstdlib>
#include <vector>

#include "MemorySource.h"
#include "ODdzFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MemorySource source(data, size);
    std::vector<std::vector<uint8_t>> records;
    ODdz::ReadDirectory(source, [&](std::vector<uint8_t>& central) {
        if (central.size() != ODdz::CENTRAL_SIZE + ODdz::CentralNameLength(central))
            std::abort();
        records.push_back(std::move(central));
        return true;
    });
    for (const std::vector<uint8_t>& central : records) {
        std::vector<uint8_t> local;
        if (!ODdz::ReadLocalRecord(source, ODdz::CentralLocalOffset(central), local))
            continue;
        const ODdz::LocalInfo info = ODdz::ParseLocal(local);
        if (local.size() != ODdz::LOCAL_SIZE + info.NameLength + static_cast<uint64_t>(info.CompressedSize)
            || local.size() > size)
            std::abort();
        std::vector<uint8_t> out;
        if (ODdz::Inflate(local, out) && out.size() != info.UncompressedSize)
            std::abort();
    }
    return 0;
}
