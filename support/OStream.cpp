#include "OStream.h"

#include <cstdlib>
#include <cstring>

namespace OCore {

OStream::OStream(DWORD buffer_size)
    : Buffer_(nullptr), BufferSize_(buffer_size), Fill_(0)
{
}

OStream::~OStream()
{
    std::free(Buffer_);
}

BOOL OStream::Write(const void* data, DWORD size)
{
    if (BufferSize_ == 0)
        return RawWrite(data, size);
    if (!Buffer_) {
        Buffer_ = static_cast<BYTE*>(std::malloc(BufferSize_));
        if (!Buffer_)
            return Flush() && RawWrite(data, size);
    }
    const BYTE* p = static_cast<const BYTE*>(data);
    while (size > 0) {
        if (Fill_ == BufferSize_ && !Flush())
            return FALSE;
        const DWORD part = size < BufferSize_ - Fill_ ? size : BufferSize_ - Fill_;
        std::memcpy(Buffer_ + Fill_, p, part);
        Fill_ += part;
        p += part;
        size -= part;
    }
    return TRUE;
}

BOOL OStream::Flush()
{
    if (Fill_ == 0)
        return TRUE;
    const DWORD fill = Fill_;
    Fill_ = 0;
    return RawWrite(Buffer_, fill);
}

}  // namespace OCore
