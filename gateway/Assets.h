#pragma once
// The web page's files (gateway/assets), built into the program: nothing is
// loaded from anywhere else.

#include <cstddef>
#include <string>

namespace _GATEWAY {

struct ASSET {
    const char* Path;          // "/index.html"
    const char* ContentType;
    const char* Data;
    std::size_t Size;
};

// The file served at `path`, or null.
const ASSET* FindAsset(const std::string& path);

}  // namespace _GATEWAY
