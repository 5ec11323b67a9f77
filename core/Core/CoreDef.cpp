#include "Core/CoreDef.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

const _STRING NULL_STRING;
const _WSTRING NULL_WIDESTRING;
const _UUID NULL_UUID(true);

void _HALT()
{
    std::cout << "HALT" << std::endl;
    std::fflush(nullptr);
    // No static destructors: other threads may still be running.
    std::_Exit(3);
}

_UUID::_UUID(bool null_uuid)
{
    std::memset(data, 0, sizeof(data));
    if (!null_uuid)
        Generate();
}

_UUID::_UUID(const __uuid& r) : __uuid(r) {}

_UUID::_UUID(const char* p) : __uuid(boost::uuids::string_generator()(p)) {}

_UUID& _UUID::operator=(const __uuid& r)
{
    if (static_cast<const __uuid*>(this) != &r)
        std::memcpy(data, r.data, sizeof(data));
    return *this;
}

void _UUID::Generate()
{
    // One seeded generator per thread: the operating system's entropy seeds
    // it, so identifiers never repeat from one process to the next.
    thread_local boost::uuids::random_generator generator;
    static_cast<__uuid&>(*this) = generator();
}

_UUID::operator _STRING() const { return boost::uuids::to_string(*this); }

_UUID::operator _WSTRING() const { return boost::uuids::to_wstring(*this); }

_BUF::_BUF(_UINT size, _UINT data_len)
    : Ptr_(new _BYTE[size]), Capacity_(size), DataLen_(data_len), flagAllocatedFromHeap_(true)
{
    std::memset(Ptr_, 0, Capacity_);
}

_BUF::_BUF(void* storage, _UINT size, _UINT data_len)
    : Ptr_(static_cast<_BYTE*>(storage)), Capacity_(size), DataLen_(data_len), flagAllocatedFromHeap_(false)
{
}

_BUF::~_BUF()
{
    if (flagAllocatedFromHeap_ && Ptr_)
        delete[] Ptr_;
}

void _BUF::Clear()
{
    if (Ptr_)
        std::memset(Ptr_, 0, Capacity_);
    DataLen_ = 0;
}
