// ddzlist ARCHIVE: lists the entries of a resource archive as this system's
// own reader sees them, one line each: name, uncompressed size and CRC-32
// (hex) of the inflated data. Exit status 1 when the directory is not
// complete or an entry does not load.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <zlib.h>

#include "MemorySource.h"
#include "ODdzFormat.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: ddzlist ARCHIVE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "ddzlist: cannot read %s\n", argv[1]);
        return 1;
    }
    MemorySource source(bytes.data(), bytes.size());
    std::vector<std::vector<uint8_t>> records;
    const ODdz::DirectoryResult result = ODdz::ReadDirectory(source, [&](std::vector<uint8_t>& central) {
        records.push_back(std::move(central));
        return true;
    });
    int status = result == ODdz::DirectoryResult::COMPLETE ? 0 : 1;
    for (const std::vector<uint8_t>& central : records) {
        const std::string name(central.begin() + ODdz::CENTRAL_SIZE, central.end());
        std::vector<uint8_t> local;
        std::vector<uint8_t> data;
        if (!ODdz::ReadLocalRecord(source, ODdz::CentralLocalOffset(central), local) || !ODdz::Inflate(local, data)) {
            std::printf("%s\tdamaged\n", name.c_str());
            status = 1;
            continue;
        }
        const uLong crc = crc32(crc32(0, Z_NULL, 0), data.data(), static_cast<uInt>(data.size()));
        std::printf("%s\t%zu\t%08lx\n", name.c_str(), data.size(), crc);
    }
    return status;
}
