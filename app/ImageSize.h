#pragma once
// The size an encoded image declares in its header, read before anything is
// decoded, so that the memory a print request can take is bounded by the
// page and not by what a peer writes into a header.

#include <cstddef>
#include <cstdint>
#include <optional>

struct IMAGE_SIZE {
    std::uint32_t Width = 0;
    std::uint32_t Height = 0;

    unsigned long long Pixels() const { return static_cast<unsigned long long>(Width) * Height; }
};

// Width and height of a PNG (IHDR), JPEG (the first frame header), GIF (the
// logical screen), BMP (the info header) or TIFF (the first image) image;
// nothing for other formats and for headers that are cut short.
std::optional<IMAGE_SIZE> ReadImageSize(const unsigned char* data, std::size_t size);
