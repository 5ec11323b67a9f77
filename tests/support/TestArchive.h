#pragma once
// Writes archives for the reader tests, including damaged ones: a builder
// of the archive subset with switches for what ddzpack never writes, and
// the offsets of every record so that tests can patch fields.

#include <cstdint>
#include <string>
#include <vector>

struct TestEntry {
    std::string Name;
    std::string Data;
    bool flagStored = false;        // method 0, data not compressed
    bool flagCentralExtra = false;  // an extra field of 4 bytes in the central record
};

struct TestArchive {
    std::string Bytes;
    std::vector<size_t> Local;    // offset of each local header
    std::vector<size_t> Central;  // offset of each central record
    size_t End = 0;               // offset of the end record

    void Put16(size_t at, uint16_t v);
    void Put32(size_t at, uint32_t v);
    uint32_t Get32(size_t at) const;
};

// DOS time 2023-11-14 22:13:20, the entry time of every built entry.
TestArchive BuildArchive(const std::vector<TestEntry>& entries, const std::string& comment = std::string());

// Raw deflate of `data`.
std::string Deflate(const std::string& data);
