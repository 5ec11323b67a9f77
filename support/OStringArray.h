#pragma once
// A growable array of OString.

#include "OArray.h"
#include "OString.h"

class OStringArray {
public:
    OStringArray() = default;
    virtual ~OStringArray();
    OStringArray(const OStringArray&) = delete;
    OStringArray& operator=(const OStringArray&) = delete;

    int GetSize() const { return Items_.GetSize(); }
    // index must lie in 0 .. GetSize() - 1.
    const OString& GetAt(int index) const { return *Items_.GetAt(index); }
    BOOL Add(const OString& text);
    BOOL RemoveAt(int index);
    void RemoveAll();

private:
    OPointerArray<OString> Items_;
};
