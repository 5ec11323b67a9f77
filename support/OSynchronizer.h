#pragma once
// The abstract lock of the support library, and a scope guard that holds one.

class OSynchronizer {
public:
    virtual ~OSynchronizer() = default;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
};

// Locks in the constructor, unlocks in the destructor.
class OAutoLock {
public:
    explicit OAutoLock(OSynchronizer& sync) : Sync_(sync) { Sync_.Lock(); }
    ~OAutoLock() { Sync_.Unlock(); }
    OAutoLock(const OAutoLock&) = delete;
    OAutoLock& operator=(const OAutoLock&) = delete;

private:
    OSynchronizer& Sync_;
};
