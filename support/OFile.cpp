#include "OFile.h"

namespace {

const DWORD WRITE_BUFFER_SIZE_ = 64 * 1024;

DWORD ShareMode(DWORD flags)
{
    switch (flags & OFILE_SHARE_MASK) {
    case OFILE_SHARE_NONE:
        return 0;
    case OFILE_SHARE_READ:
        return FILE_SHARE_READ;
    case OFILE_SHARE_WRITE:
        return FILE_SHARE_WRITE;
    default:
        return FILE_SHARE_READ | FILE_SHARE_WRITE;
    }
}

}  // namespace

OFile::OFile() : OStream(WRITE_BUFFER_SIZE_), Handle_(nullptr) {}

OFile::~OFile()
{
    Close();
}

BOOL OFile::RawWrite(const void* data, DWORD size)
{
    if (!Handle_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const BYTE* p = static_cast<const BYTE*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(Handle_, p, size, &written, nullptr))
            return FALSE;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return FALSE;
        }
        p += written;
        size -= written;
    }
    return TRUE;
}

BOOL OFile::Open(const OString& path, DWORD flags)
{
    Close();
    const bool write = (flags & OFILE_READWRITE) != 0;
    HANDLE h = CreateFileW(path.Wide(), write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ, ShareMode(flags),
                           nullptr, (flags & OFILE_CREATE) ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return FALSE;
    if (write) {
        LARGE_INTEGER zero = {};
        const BOOL placed = (flags & OFILE_KEEP) ? SetFilePointerEx(h, zero, nullptr, FILE_END) : SetEndOfFile(h);
        if (!placed) {
            const DWORD error = GetLastError();
            CloseHandle(h);
            SetLastError(error);
            return FALSE;
        }
    }
    Handle_ = h;
    Path_ = path;
    return TRUE;
}

BOOL OFile::Close()
{
    if (!Handle_)
        return TRUE;
    BOOL ok = Flush();
    const DWORD error = GetLastError();
    if (!CloseHandle(Handle_))
        ok = FALSE;
    else if (!ok)
        SetLastError(error);
    Handle_ = nullptr;
    return ok;
}

BOOL OFile::Seek(LONGLONG offset, DWORD method)
{
    if (!Flush())
        return FALSE;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    return Handle_ ? SetFilePointerEx(Handle_, distance, nullptr, method) : (SetLastError(ERROR_INVALID_HANDLE), FALSE);
}

BOOL OFile::GetSize(ULONGLONG& size)
{
    LARGE_INTEGER value;
    if (!Flush())
        return FALSE;
    if (!Handle_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!GetFileSizeEx(Handle_, &value))
        return FALSE;
    size = static_cast<ULONGLONG>(value.QuadPart);
    return TRUE;
}

DWORD OFile::Read(void* buffer, DWORD size)
{
    DWORD got = 0;
    if (!Flush())
        return 0;
    if (!Handle_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (!ReadFile(Handle_, buffer, size, &got, nullptr))
        return 0;
    return got;
}
