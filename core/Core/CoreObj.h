#pragma once
// The object model: interfaces derived from IRoot, objects that count their
// own references, and the counting pointer _OBJ<If>.

#include "Core/CoreDef.h"

typedef _INT _COMREF;
typedef _INT _COMRET;
typedef _UUID _IID;

constexpr _COMRET _CONST_ComErr = 0;

struct IRoot {
    virtual _COMRET __QueryInterface(const _IID& IfaceId, void** Ret) = 0;
    virtual _COMREF __AddRef() = 0;
    virtual _COMREF __Release() = 0;
};

// Interlocked count helpers (full barriers); they return the new value.
inline _COMREF _InterlockedIncrementRef(_COMREF& ref) { return __atomic_add_fetch(&ref, 1, __ATOMIC_SEQ_CST); }
inline _COMREF _InterlockedDecrementRef(_COMREF& ref) { return __atomic_sub_fetch(&ref, 1, __ATOMIC_SEQ_CST); }

// The three IRoot operations, identical in every implementation class. The
// class declares `_COMREF __Ref_` as its first member and a virtual
// destructor; the last __Release destroys the object.
#define _IROOT_IMPLEMENTATION()                                                              \
    _COMRET __QueryInterface(const _IID&, void**) override { return _CONST_ComErr; }        \
    _COMREF __AddRef() override { return _InterlockedIncrementRef(__Ref_); }                \
    _COMREF __Release() override                                                             \
    {                                                                                        \
        const _COMREF count = _InterlockedDecrementRef(__Ref_);                              \
        if (count == 0)                                                                      \
            delete this;                                                                     \
        return count;                                                                        \
    }

template <class If>
class _OBJ {
public:
    typedef _OBJ<If> TheType;

    _OBJ() : ___Ptr_(nullptr) {}
    _OBJ(If* rhs) : ___Ptr_(rhs)
    {
        if (___Ptr_)
            ___Ptr_->__AddRef();
    }
    _OBJ(const TheType& rhs) : ___Ptr_(rhs.___Ptr_)
    {
        if (___Ptr_)
            ___Ptr_->__AddRef();
    }
    ~_OBJ() noexcept { SafeRelease(); }

    TheType& operator=(If* rhs)
    {
        Attach(rhs);
        return *this;
    }
    TheType& operator=(const TheType& rhs)
    {
        Attach(rhs);
        return *this;
    }

    If* operator->()
    {
        if (!___Ptr_)
            _HALT();
        return ___Ptr_;
    }
    If* operator->() const
    {
        if (!___Ptr_)
            _HALT();
        return ___Ptr_;
    }

    If* __Ptr() const { return ___Ptr_; }

    bool operator==(const If* rhs) const { return ___Ptr_ == rhs; }
    bool operator!=(const If* rhs) const { return ___Ptr_ != rhs; }
    bool operator==(const TheType& rhs) const { return ___Ptr_ == rhs.___Ptr_; }
    bool operator!=(const TheType& rhs) const { return ___Ptr_ != rhs.___Ptr_; }
    bool operator!() const { return ___Ptr_ == nullptr; }
    bool IsValid() const { return ___Ptr_ != nullptr; }
    bool isValid() const { return ___Ptr_ != nullptr; }

    If** operator&() { return &___Ptr_; }

private:
    void Attach(If* rhs)
    {
        if (rhs == ___Ptr_)
            return;
        // Take the new reference first: releasing the old object may destroy
        // the last holder of the new one.
        if (rhs)
            rhs->__AddRef();
        If* old = ___Ptr_;
        ___Ptr_ = rhs;
        if (old)
            old->__Release();
    }
    void Attach(const TheType& rhs) { Attach(rhs.___Ptr_); }

    void SafeRelease()
    {
        if (___Ptr_)
            ___Ptr_->__Release();
    }

    // Hands the held reference to the caller and leaves the _OBJ empty.
    If* Detach()
    {
        If* p = ___Ptr_;
        ___Ptr_ = nullptr;
        return p;
    }

    If* ___Ptr_;
};
