#include "PortMessages.h"

#include "ModuleState.h"
#include "ResourceIds.h"

void LoadPortString(UINT id, WCHAR (&buffer)[PORT_STRING_CHARS])
{
    buffer[0] = L'\0';
    if (LoadStringW(GetResourceInstance(), id, buffer, PORT_STRING_CHARS) <= 0)
        buffer[0] = L'\0';
}

void ShowPortMessage(HWND owner, LPCWSTR text)
{
    WCHAR caption[PORT_STRING_CHARS];
    LoadPortString(IDS_CAPTION, caption);
    MessageBoxW(owner, text, caption, MB_OK);
}

void ShowPortString(HWND owner, UINT id)
{
    WCHAR text[PORT_STRING_CHARS];
    LoadPortString(id, text);
    ShowPortMessage(owner, text);
}
