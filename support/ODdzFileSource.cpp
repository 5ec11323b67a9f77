#include "ODdzFileSource.h"

bool ODdzFileSource::GetSize(uint64_t& size)
{
    ULONGLONG value = 0;
    if (!File_.GetSize(value))
        return false;
    size = value;
    return true;
}

bool ODdzFileSource::ReadAt(uint64_t offset, void* buffer, size_t size)
{
    if (offset > static_cast<uint64_t>(MAXLONGLONG) || !File_.Seek(static_cast<LONGLONG>(offset), FILE_BEGIN))
        return false;
    BYTE* p = static_cast<BYTE*>(buffer);
    while (size > 0) {
        const DWORD part = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        const DWORD got = File_.Read(p, part);
        if (got == 0)
            return false;
        p += got;
        size -= got;
    }
    return true;
}
