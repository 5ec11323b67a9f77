#include "OCriticalSection.h"

#include <new>

OCriticalSection::OCriticalSection()
    : Section_(new CRITICAL_SECTION)
{
    InitializeCriticalSection(Section_);
}

OCriticalSection::~OCriticalSection()
{
    DeleteCriticalSection(Section_);
    delete Section_;
}

void OCriticalSection::Lock()
{
    EnterCriticalSection(Section_);
}

void OCriticalSection::Unlock()
{
    LeaveCriticalSection(Section_);
}
