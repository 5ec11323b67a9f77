#pragma once
// An output stream with an optional write buffer.

#include <windows.h>

namespace OCore {

class OStream {
public:
    // buffer_size 0: every Write goes straight to RawWrite.
    explicit OStream(DWORD buffer_size = 0);
    virtual ~OStream();
    OStream(const OStream&) = delete;
    OStream& operator=(const OStream&) = delete;

    // Writes all `size` bytes or reports FALSE with the thread's last error.
    virtual BOOL RawWrite(const void* data, DWORD size) = 0;
    // Copies into the buffer and writes it out whenever it is full.
    virtual BOOL Write(const void* data, DWORD size);
    // Writes out and empties the buffer.
    virtual BOOL Flush();

private:
    BYTE* Buffer_;
    DWORD BufferSize_;
    DWORD Fill_;
};

}  // namespace OCore
