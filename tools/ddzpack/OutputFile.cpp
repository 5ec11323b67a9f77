#include "OutputFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace _DDZPACK {

namespace {

std::runtime_error SystemError(const std::string& what, const std::string& path)
{
    return std::runtime_error(what + " '" + path + "': " + std::strerror(errno));
}

}  // namespace

OutputFile::OutputFile(const std::string& path) : Path_(path), Fd_(-1), flagCommitted_(false)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    Temp_ = folder + "." + base + ".XXXXXX";
    std::vector<char> name(Temp_.begin(), Temp_.end());
    name.push_back('\0');
    Fd_ = mkstemp(name.data());
    if (Fd_ < 0)
        throw SystemError("cannot create a temporary file for", path);
    Temp_ = name.data();
}

OutputFile::~OutputFile()
{
    if (Fd_ >= 0)
        close(Fd_);
    if (!flagCommitted_)
        unlink(Temp_.c_str());
}

void OutputFile::Commit()
{
    // mkstemp makes the file private; give it the usual mode of new files.
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(Fd_, 0666 & ~mask) != 0 || fsync(Fd_) != 0)
        throw SystemError("cannot write", Temp_);
    const int fd = Fd_;
    Fd_ = -1;
    if (close(fd) != 0)
        throw SystemError("cannot write", Temp_);
    if (std::rename(Temp_.c_str(), Path_.c_str()) != 0)
        throw SystemError("cannot create", Path_);
    flagCommitted_ = true;
}

}  // namespace _DDZPACK
