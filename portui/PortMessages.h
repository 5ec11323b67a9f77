#pragma once
// Strings of the language module and the message boxes built from them.

#include <windows.h>

constexpr int PORT_STRING_CHARS = 260;  // every loaded string and message text

// Loads a string of the resource instance; an empty text when it is missing.
void LoadPortString(UINT id, WCHAR (&buffer)[PORT_STRING_CHARS]);

// A message box owned by `owner` with `text`, the caption IDS_CAPTION and
// MB_OK.
void ShowPortMessage(HWND owner, LPCWSTR text);

// ShowPortMessage with the string `id`.
void ShowPortString(HWND owner, UINT id);
