#pragma once
// A Win32 critical section behind the OSynchronizer interface. Recursive, as
// critical sections are: the owning thread may lock it again.

#include <windows.h>

#include "OSynchronizer.h"

class OCriticalSection : public OSynchronizer {
public:
    OCriticalSection();
    ~OCriticalSection() override;
    OCriticalSection(const OCriticalSection&) = delete;
    OCriticalSection& operator=(const OCriticalSection&) = delete;

    void Lock() override;
    void Unlock() override;

private:
    CRITICAL_SECTION* Section_;
};
