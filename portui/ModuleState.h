#pragma once
// Process-wide state of the DLL: its own instance, set at process attach,
// and the instance every dialog and string comes from.

#include <windows.h>

void SetModuleInstance(HINSTANCE instance);

// The language module when one is loaded, otherwise the DLL's own instance
// (which carries no resources, so dialogs then fail to be created and
// strings read as empty).
HINSTANCE GetResourceInstance();
