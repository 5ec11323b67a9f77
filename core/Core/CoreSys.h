#pragma once
// Identity of the running application and its directory tree under fixed
// roots, created at start.

#include <filesystem>

#include "Core/CoreDef.h"

namespace _SYS {

void Initialize(const _STRING& sys_name, const _STRING& app_name);
void Shutdown();

const _STRING& SysName();
const _STRING& AppName();

const std::filesystem::path& DIR_ROOT();
const std::filesystem::path& DIR_SYS();
const std::filesystem::path& DIR_APP();
const std::filesystem::path& DIR_ETC();
const std::filesystem::path& DIR_BIN();
const std::filesystem::path& DIR_LIB();
const std::filesystem::path& DIR_VAR();
const std::filesystem::path& DIR_LOG();

// Creates dir (not its parents) when it is missing and reports it on
// standard output; failures are swallowed.
void CreateDir(const std::filesystem::path& dir);

}  // namespace _SYS
