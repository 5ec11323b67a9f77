#include "ModuleState.h"

#include "OLanguageModule.h"

namespace {

HINSTANCE ModuleInstance_ = nullptr;

}  // namespace

void SetModuleInstance(HINSTANCE instance) { ModuleInstance_ = instance; }

HINSTANCE GetResourceInstance()
{
    HMODULE language = GetLanguageModule();
    return language ? static_cast<HINSTANCE>(language) : ModuleInstance_;
}
