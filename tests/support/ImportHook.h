#pragma once
// Replaces the address of a function this executable imports, so that a
// test can watch the calls the library (linked into the executable) makes.

#include "../common/ImportSlot.h"

// The previous address, or NULL when the import is not found.
inline void* HookImport(const char* dll, const char* function, void* replacement)
{
    void** slot = FindImportSlot(GetModuleHandleW(nullptr), dll, function);
    return slot ? ExchangeImportSlot(slot, replacement) : nullptr;
}
