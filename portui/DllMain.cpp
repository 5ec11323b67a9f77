// Entry points of netportui.dll: the loader's DllMain and the one export,
// InitializePrintMonitorUI, which hands the spooler the MONITORUI table.
#include <windows.h>
#include <winsplp.h>

#include "ModuleState.h"
#include "OLanguageModule.h"
#include "PortOperations.h"

static_assert(sizeof(MONITORUI) == (sizeof(void*) == 4 ? 16 : 32),
              "MONITORUI: a size and three function pointers");

namespace {

MONITORUI MonitorUi_;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved)
{
    (void)lpvReserved;
    switch (fdwReason) {
    case DLL_PROCESS_ATTACH:
        SetModuleInstance(hinstDLL);
        // The module is mapped as a data file: no code of it runs here.
        if (!LoadLanguageModule(LANGUAGE_USER))
            LoadLanguageModule(LANGUAGE_DEFAULT);
        break;
    case DLL_PROCESS_DETACH:
        FreeLanguageModule();
        break;
    }
    return TRUE;
}

extern "C" PMONITORUI WINAPI InitializePrintMonitorUI(VOID)
{
    MonitorUi_.dwMonitorUISize = sizeof(MONITORUI);
    MonitorUi_.pfnAddPortUI = AddPortUI;
    MonitorUi_.pfnConfigurePortUI = ConfigurePortUI;
    MonitorUi_.pfnDeletePortUI = DeletePortUI;
    return &MonitorUi_;
}
