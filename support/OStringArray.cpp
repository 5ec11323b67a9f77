#include "OStringArray.h"

#include <new>

OStringArray::~OStringArray()
{
    RemoveAll();
}

BOOL OStringArray::Add(const OString& text)
{
    OString* item = new (std::nothrow) OString(text);
    if (!item) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
    if (!Items_.Add(item)) {
        delete item;
        return FALSE;
    }
    return TRUE;
}

BOOL OStringArray::RemoveAt(int index)
{
    if (index < 0 || index >= Items_.GetSize()) {
        SetLastError(ERROR_INVALID_INDEX);
        return FALSE;
    }
    delete Items_.GetAt(index);
    return Items_.RemoveAt(index);
}

void OStringArray::RemoveAll()
{
    for (int i = 0; i < Items_.GetSize(); ++i)
        delete Items_.GetAt(i);
    Items_.RemoveAll();
}
