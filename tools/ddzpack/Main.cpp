// ddzpack OUT.ddz FILE...: packs files into a resource archive.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "ArchiveWriter.h"
#include "DosTime.h"
#include "OutputFile.h"

namespace {

const char* const HELP_ =
    "Usage: ddzpack OUT.ddz FILE...\n"
    "\n"
    "Packs each FILE into the resource archive OUT.ddz: a ZIP file restricted to\n"
    "raw deflate entries with their sizes and CRC-32 in the local headers, no\n"
    "extra fields, no comments, no data descriptors, and the end record as the\n"
    "last 22 bytes.\n"
    "\n"
    "Entry names: the base name of each FILE (the text after its last '/'), as\n"
    "the reader looks entries up by that name, ignoring ASCII case; FILEs whose\n"
    "base names differ only in ASCII case are refused. Names are stored as the\n"
    "UTF-8 bytes they are given in (non-ASCII names are marked UTF-8).\n"
    "\n"
    "Entry times: SOURCE_DATE_EPOCH (seconds since 1970) when it is set, else\n"
    "each FILE's modification time; stored as MS-DOS date and time fields\n"
    "holding UTC, so that the bytes do not depend on the packing machine's time\n"
    "zone (2-second steps, clamped to 1980..2107). The same FILEs and times give\n"
    "the same bytes.\n"
    "\n"
    "OUT.ddz is written to a temporary file beside it and renamed when complete;\n"
    "on any error it is left as it was.\n"
    "\n"
    "Limits: 65535 entries, 4 GiB - 1 bytes per FILE, 4 GiB per archive.\n"
    "\n"
    "Options:\n"
    "  -h, --help  show this text\n"
    "  --          end of options\n"
    "\n"
    "Exit status: 0 done, 1 error, 2 wrong usage.\n";

const size_t MAX_ENTRIES_ = 0xFFFF;

struct Input {
    std::string Path;
    std::string Name;
};

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool IsUtf8(const std::string& s)
{
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t extra = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (c < 0x80)
            extra = 0;
        else if (c >= 0xC2 && c <= 0xDF)
            extra = 1;
        else if (c >= 0xE0 && c <= 0xEF)
            extra = 2, low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
        else if (c >= 0xF0 && c <= 0xF4)
            extra = 3, low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
        else
            return false;
        if (s.size() - i <= extra)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char b = static_cast<unsigned char>(s[i + k]);
            if (k == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80)
                return false;
        }
        i += extra + 1;
    }
    return true;
}

std::string FoldAscii(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// SOURCE_DATE_EPOCH: decimal digits only.
bool FixedTime(std::time_t& t)
{
    const char* value = std::getenv("SOURCE_DATE_EPOCH");
    if (!value)
        return false;
    const std::string text(value);
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
        throw std::runtime_error("SOURCE_DATE_EPOCH must be a number of seconds, not '" + text + "'");
    t = static_cast<std::time_t>(std::stoll(text));
    return true;
}

std::vector<Input> CheckInputs(const std::vector<std::string>& files)
{
    if (files.size() > MAX_ENTRIES_)
        throw std::runtime_error(std::to_string(files.size()) + " files: an archive holds at most 65535 entries");
    std::vector<Input> inputs;
    std::set<std::string> names;
    for (const std::string& path : files) {
        const size_t slash = path.rfind('/');
        Input in{path, slash == std::string::npos ? path : path.substr(slash + 1)};
        if (in.Name.empty())
            throw std::runtime_error("'" + path + "' names no file");
        if (in.Name.size() > 0xFFFF)
            throw std::runtime_error("the name of '" + path + "' is longer than 65535 bytes");
        if (!IsUtf8(in.Name))
            throw std::runtime_error("the name of '" + path + "' is not UTF-8");
        if (!names.insert(FoldAscii(in.Name)).second)
            throw std::runtime_error("two files are named '" + in.Name + "' (ignoring ASCII case)");
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            throw std::runtime_error("cannot open '" + path + "': " + std::strerror(errno));
        if (!S_ISREG(st.st_mode))
            throw std::runtime_error("'" + path + "' is not a regular file");
        if (static_cast<unsigned long long>(st.st_size) > 0xFFFFFFFFull)
            throw std::runtime_error("'" + path + "' is larger than 4 GiB - 1 bytes");
        inputs.push_back(in);
    }
    return inputs;
}

std::time_t ModificationTime(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        throw std::runtime_error("cannot open '" + path + "': " + std::strerror(errno));
    return st.st_mtime;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg(argv[i]);
        if (options && arg == "--") {
            options = false;
        } else if (options && (arg == "-h" || arg == "--help")) {
            std::cout << HELP_;
            return 0;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            std::cerr << "ddzpack: unknown option '" << arg << "'\n\n" << HELP_;
            return 2;
        } else {
            args.push_back(arg);
        }
    }
    if (args.size() < 2) {
        std::cerr << "ddzpack: an archive and at least one file are needed\n\n" << HELP_;
        return 2;
    }
    try {
        const std::string out = args[0];
        const std::vector<Input> inputs = CheckInputs(std::vector<std::string>(args.begin() + 1, args.end()));
        std::time_t fixed = 0;
        const bool have_fixed = FixedTime(fixed);
        _DDZPACK::OutputFile file(out);
        _DDZPACK::ArchiveWriter writer(file.Fd());
        for (const Input& in : inputs)
            writer.Add(in.Name, in.Path, _DDZPACK::ToDosTime(have_fixed ? fixed : ModificationTime(in.Path)));
        writer.Finish();
        file.Commit();
    } catch (const std::exception& e) {
        std::cerr << "ddzpack: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
