#pragma once
// An output file that appears complete or not at all: the data goes to a
// temporary file in the same folder, which Commit renames over the target.
// Destroyed without Commit, the temporary file is removed and the target
// stays as it was.

#include <string>

namespace _DDZPACK {

class OutputFile {
public:
    // Throws std::runtime_error when the temporary file cannot be created.
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    int Fd() const { return Fd_; }
    // Syncs, closes and renames; throws std::runtime_error on failure.
    void Commit();

private:
    std::string Path_;
    std::string Temp_;
    int Fd_;
    bool flagCommitted_;
};

}  // namespace _DDZPACK
