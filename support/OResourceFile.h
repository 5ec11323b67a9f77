#pragma once
// Read access to the entries of one or more resource archives (".ddz";
// format in ODdzFormat.h), and extraction of single entries to disk.
//
// Archives added are read on the next Find: an archive whose last 22 bytes
// hold no end record contributes nothing; an archive that cannot be opened,
// or whose directory breaks off, stops the reading there (the entries read
// so far stay, archives not yet read stay pending for the next Find).
// Entries are looked up by name ignoring ASCII case (a-z equal A-Z, other
// characters exact); the first entry of a name wins. Each entry is read and
// inflated at most once and kept in memory until the OResourceFile goes.
//
// One OResourceFile may be shared by threads: Find runs under its lock;
// extraction writes files outside it.

#include <windows.h>

#include "OArray.h"
#include "OCriticalSection.h"
#include "OResource.h"
#include "OString.h"
#include "OStringArray.h"

class OResourceFile {
public:
    // Extract flags.
    enum : DWORD {
        EXTRACT_IF_NEWER = 1,          // skip when the destination exists and is not older than the entry
        EXTRACT_CLEAR_ATTRIBUTES = 2,  // set FILE_ATTRIBUTE_NORMAL first, so a read-only file can be replaced
        EXTRACT_TEMPORARY = 4,         // mark the file FILE_ATTRIBUTE_TEMPORARY; no replace-at-restart fallback
    };

    OResourceFile();
    virtual ~OResourceFile();
    OResourceFile(const OResourceFile&) = delete;
    OResourceFile& operator=(const OResourceFile&) = delete;

    // Queues an archive; no file access until the next Find.
    BOOL Add(const OString& path);

    // The loaded entry of that name, or NULL (ERROR_FILE_NOT_FOUND when no
    // entry has the name, ERROR_INVALID_DATA when the entry is damaged). The
    // entry lives as long as this OResourceFile.
    OResource* Find(const OString& name);

    // Writes the entry to `destination` and gives the file the entry's time
    // (creation, last access and last write). When the destination cannot
    // be opened, and EXTRACT_TEMPORARY is clear, the entry goes to a
    // temporary file in the driver temporary folder that replaces the
    // destination at the next restart (MoveFileExW with
    // MOVEFILE_DELAY_UNTIL_REBOOT); TRUE then means that replacement was
    // scheduled. FALSE with the thread's last error set on failure.
    BOOL Extract(const OString& name, const OString& destination, DWORD flags);

private:
    void ReadPending();
    BOOL Write(OResource& entry, const OString& destination, DWORD flags, BOOL fallback);
    BOOL WriteAtRestart(OResource& entry, const OString& destination);

    OPointerArray<OResource> Entries_;
    OCriticalSection Lock_;
    OString Archive_;
    OStringArray Pending_;
};
