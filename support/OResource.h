#pragma once
// One entry of a resource archive: its directory record, and once loaded
// its local record (header, name, compressed data), its modification time
// and its inflated data.

#include <windows.h>

#include <cstdint>
#include <vector>

#include "OString.h"

class OResource {
public:
    // `central` is the entry's central record (46 bytes and the name); the
    // entry's name is the name bytes read as UTF-8.
    OResource(std::vector<uint8_t>& central, const OString& archive);
    virtual ~OResource();
    OResource(const OResource&) = delete;
    OResource& operator=(const OResource&) = delete;

    const OString& GetName() const { return Name_; }
    const OString& GetArchive() const { return Archive_; }
    // Valid once Load has succeeded: the modification time (UTC) and the data.
    const FILETIME& GetTime() const { return Time_; }
    const BYTE* GetData() const { return Data_.data(); }
    DWORD GetSize() const { return static_cast<DWORD>(Data_.size()); }

    // Reads the local record from the archive unless held, and inflates
    // it unless done; each happens at most once. FALSE with
    // ERROR_INVALID_DATA (or the file's error) when the entry is damaged.
    BOOL Load();

private:
    OString Name_;
    FILETIME Time_;
    OString Archive_;
    std::vector<uint8_t> Data_;
    std::vector<uint8_t> Local_;
    std::vector<uint8_t> Central_;
    bool flagLoaded_;
};
