#pragma once
// Basic type names of the runtime, the 16-byte identifier, the byte buffer,
// the process stop and the shared constants.

#include <cstdint>
#include <string>

#include <boost/uuid/uuid.hpp>

typedef std::int32_t ___INT;
typedef std::uint32_t ___UINT;
typedef std::uint8_t ___UINT8;
typedef std::uint16_t ___UINT16;
typedef std::uint32_t ___UINT32;

typedef ___INT _INT;
typedef ___UINT _UINT;
typedef ___UINT8 _BYTE;
typedef ___UINT16 _UINT16;
typedef ___UINT32 _UINT32;

typedef std::string _STRING;
typedef std::wstring _WSTRING;
typedef _STRING _BLOB;

typedef boost::uuids::uuid __uuid;

// Writes "HALT", flushes standard output and ends the process with exit
// status 3: a fatal programming error must never look like success.
[[noreturn]] void _HALT();

struct _UUID : public __uuid {
    // true: all zero (equals NULL_UUID); false: a fresh random identifier.
    explicit _UUID(bool null_uuid = true);
    _UUID(const __uuid& r);
    // 32 hex digits, either case, optionally dashed 8-4-4-4-12 and in braces;
    // anything else throws std::runtime_error("invalid uuid string").
    explicit _UUID(const char* p);

    _UUID& operator=(const __uuid& r);

    void Generate();

    operator _STRING() const;
    operator _WSTRING() const;
};

class _BUF {
public:
    _BUF(_UINT size, _UINT data_len);
    _BUF(void* storage, _UINT size, _UINT data_len);   // caller-owned storage
    ~_BUF();

    _BUF(const _BUF&) = delete;
    _BUF& operator=(const _BUF&) = delete;

    void Clear();

    void* Ptr() const { return Ptr_; }
    _UINT DataLen() const { return DataLen_; }
    void DataLen(_UINT len) { DataLen_ = len; }
    _UINT Capacity() const { return Capacity_; }
    void Capacity(_UINT cap) { Capacity_ = cap; }
    _UINT FreeSpace() const { return Capacity_ > DataLen_ ? Capacity_ - DataLen_ : 0; }

private:
    _BYTE* Ptr_;
    _UINT Capacity_;
    _UINT DataLen_;
    bool flagAllocatedFromHeap_;
};

extern const _STRING NULL_STRING;
extern const _WSTRING NULL_WIDESTRING;
extern const _UUID NULL_UUID;
