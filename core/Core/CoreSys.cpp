#include "Core/CoreSys.h"

#include <iostream>

namespace fs = std::filesystem;

namespace _SYS {

namespace {

_STRING SysName_;
_STRING AppName_;
const fs::path DIR_ROOT_("/opt/veltrin/app");
const fs::path VAR_ROOT_("/var/veltrin");
const fs::path LOG_ROOT_("/var/log/veltrin");
fs::path DIR_SYS_;
fs::path DIR_APP_;
fs::path DIR_ETC_;
fs::path DIR_BIN_;
fs::path DIR_LIB_;
fs::path DIR_VAR_;
fs::path DIR_LOG_;

}  // namespace

void CreateDir(const fs::path& dir)
{
    try {
        std::error_code ec;
        if (fs::exists(dir, ec) || ec)
            return;
        if (!fs::create_directory(dir, ec) || ec)
            return;
        std::cout << "Orvel.CoreSys Directory: " << dir.string() << std::endl;
    } catch (...) {
        // A directory that cannot be made is simply missing afterwards.
    }
}

void Initialize(const _STRING& sys_name, const _STRING& app_name)
{
    SysName_ = sys_name;
    AppName_ = app_name;
    CreateDir(DIR_ROOT_);
    DIR_SYS_ = DIR_ROOT_ / sys_name;
    CreateDir(DIR_SYS_);
    DIR_APP_ = DIR_SYS_ / app_name;
    CreateDir(DIR_APP_);
    DIR_ETC_ = DIR_APP_ / "etc";
    CreateDir(DIR_ETC_);
    DIR_BIN_ = DIR_APP_ / "bin";
    CreateDir(DIR_BIN_);
    DIR_LIB_ = DIR_APP_ / "lib";
    CreateDir(DIR_LIB_);
    CreateDir(VAR_ROOT_ / sys_name);
    DIR_VAR_ = VAR_ROOT_ / sys_name / app_name;
    CreateDir(DIR_VAR_);
    CreateDir(LOG_ROOT_ / sys_name);
    DIR_LOG_ = LOG_ROOT_ / sys_name / app_name;
    CreateDir(DIR_LOG_);
}

void Shutdown() {}

const _STRING& SysName() { return SysName_; }
const _STRING& AppName() { return AppName_; }
const fs::path& DIR_ROOT() { return DIR_ROOT_; }
const fs::path& DIR_SYS() { return DIR_SYS_; }
const fs::path& DIR_APP() { return DIR_APP_; }
const fs::path& DIR_ETC() { return DIR_ETC_; }
const fs::path& DIR_BIN() { return DIR_BIN_; }
const fs::path& DIR_LIB() { return DIR_LIB_; }
const fs::path& DIR_VAR() { return DIR_VAR_; }
const fs::path& DIR_LOG() { return DIR_LOG_; }

}  // namespace _SYS
