#pragma once
// A buffered stream on a Win32 file.

#include <windows.h>

#include "OStream.h"
#include "OString.h"

// Open flags.
enum : DWORD {
    OFILE_READWRITE = 0x0001,   // GENERIC_READ | GENERIC_WRITE; clear: GENERIC_READ only
    OFILE_SHARE_MASK = 0x00F0,  // 0x10 none, 0x20 read, 0x30 write, other values read | write
    OFILE_SHARE_NONE = 0x0010,
    OFILE_SHARE_READ = 0x0020,
    OFILE_SHARE_WRITE = 0x0030,
    OFILE_CREATE = 0x1000,      // OPEN_ALWAYS; clear: the file must exist
    OFILE_KEEP = 0x2000,        // with write access keep the contents, position at the end;
                                // clear: truncate to 0 bytes
};

class OFile : public OCore::OStream {
public:
    OFile();
    ~OFile() override;  // closes

    BOOL RawWrite(const void* data, DWORD size) override;

    // Closes any open file first. FALSE leaves the handle NULL, with the
    // error of CreateFileW (or of the truncation) as the last error.
    virtual BOOL Open(const OString& path, DWORD flags);
    // Flushes, then closes; TRUE when nothing was open.
    virtual BOOL Close();
    // Flushes, then moves the file pointer (FILE_BEGIN, FILE_CURRENT, FILE_END).
    virtual BOOL Seek(LONGLONG offset, DWORD method);
    // Flushes, then reports the file's size.
    virtual BOOL GetSize(ULONGLONG& size);
    // Flushes, then reads; the number of bytes read, 0 on failure or at the end.
    virtual DWORD Read(void* buffer, DWORD size);

    HANDLE GetHandle() const { return Handle_; }
    const OString& GetPath() const { return Path_; }

private:
    HANDLE Handle_;
    OString Path_;
};
