#include "OResourceFile.h"

#include <new>

#include "ODdzFileSource.h"
#include "ODdzFormat.h"
#include "ODriverTemp.h"
#include "OFile.h"

OResourceFile::OResourceFile() = default;

OResourceFile::~OResourceFile()
{
    for (int i = 0; i < Entries_.GetSize(); ++i)
        delete Entries_.GetAt(i);
}

BOOL OResourceFile::Add(const OString& path)
{
    OAutoLock guard(Lock_);
    return Pending_.Add(path);
}

void OResourceFile::ReadPending()
{
    while (Pending_.GetSize() > 0) {
        Archive_ = Pending_.GetAt(0);
        Pending_.RemoveAt(0);
        OFile file;
        if (!file.Open(Archive_, 0))
            return;
        ODdzFileSource source(file);
        const ODdz::DirectoryResult result = ODdz::ReadDirectory(source, [this](std::vector<uint8_t>& central) {
            OResource* entry = new (std::nothrow) OResource(central, Archive_);
            if (entry && Entries_.Add(entry))
                return true;
            delete entry;
            return false;
        });
        if (result == ODdz::DirectoryResult::DAMAGED)
            return;
    }
}

OResource* OResourceFile::Find(const OString& name)
{
    OAutoLock guard(Lock_);
    ReadPending();
    for (int i = 0; i < Entries_.GetSize(); ++i) {
        OResource* entry = Entries_.GetAt(i);
        if (entry->GetName().CompareNoCase(name) == 0)
            return entry->Load() ? entry : nullptr;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

BOOL OResourceFile::Extract(const OString& name, const OString& destination, DWORD flags)
{
    OResource* entry = Find(name);
    if (!entry)
        return FALSE;
    return Write(*entry, destination, flags, TRUE);
}

BOOL OResourceFile::Write(OResource& entry, const OString& destination, DWORD flags, BOOL fallback)
{
    if (flags & EXTRACT_IF_NEWER) {
        OFile existing;
        FILETIME written;
        if (existing.Open(destination, 0) && GetFileTime(existing.GetHandle(), nullptr, nullptr, &written)
            && CompareFileTime(&entry.GetTime(), &written) <= 0)
            return TRUE;
    }
    if (flags & EXTRACT_CLEAR_ATTRIBUTES)
        SetFileAttributesW(destination.Wide(), FILE_ATTRIBUTE_NORMAL);
    OFile out;
    if (!out.Open(destination, OFILE_CREATE | OFILE_READWRITE)) {
        if ((flags & EXTRACT_TEMPORARY) || !fallback)
            return FALSE;
        return WriteAtRestart(entry, destination);
    }
    // A write that fails (a full disk) is a failed extraction.
    if (!out.Write(entry.GetData(), entry.GetSize()) || !out.Close())
        return FALSE;
    if (flags & EXTRACT_TEMPORARY)
        SetFileAttributesW(destination.Wide(), FILE_ATTRIBUTE_TEMPORARY);
    OFile stamp;
    if (stamp.Open(destination, OFILE_KEEP | OFILE_READWRITE)) {
        const FILETIME& time = entry.GetTime();
        SetFileTime(stamp.GetHandle(), &time, &time, &time);
        stamp.Close();
    }
    return TRUE;
}

BOOL OResourceFile::WriteAtRestart(OResource& entry, const OString& destination)
{
    const OString folder = GetDriverTempFolder();
    WCHAR temp[MAX_PATH];
    if (folder.IsEmpty() || !GetTempFileNameW(folder.Wide(), L"bw#", 0, temp))
        return FALSE;
    // The temporary file is written without a further fallback of its own.
    if (Write(entry, OString(temp), 0, FALSE)
        && MoveFileExW(temp, destination.Wide(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
        return TRUE;
    const DWORD error = GetLastError();
    DeleteFileW(temp);
    SetLastError(error);
    return FALSE;
}
