#include "ImageSize.h"

#include <cstring>

namespace {

std::uint32_t Be16(const unsigned char* p) { return (std::uint32_t(p[0]) << 8) | p[1]; }
std::uint32_t Le16(const unsigned char* p) { return (std::uint32_t(p[1]) << 8) | p[0]; }
std::uint32_t Be32(const unsigned char* p) { return (Be16(p) << 16) | Be16(p + 2); }
std::uint32_t Le32(const unsigned char* p) { return (Le16(p + 2) << 16) | Le16(p); }

std::optional<IMAGE_SIZE> Png(const unsigned char* d, std::size_t n)
{
    // Signature, then the first chunk, which must be IHDR.
    if (n < 24 || std::memcmp(d + 12, "IHDR", 4) != 0)
        return std::nullopt;
    return IMAGE_SIZE{Be32(d + 16), Be32(d + 20)};
}

std::optional<IMAGE_SIZE> Jpeg(const unsigned char* d, std::size_t n)
{
    std::size_t at = 2;
    while (at + 4 <= n) {
        if (d[at] != 0xFF)
            return std::nullopt;
        const unsigned char marker = d[at + 1];
        if (marker == 0xFF) {   // fill byte
            ++at;
            continue;
        }
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2;            // markers without a length
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA)
            return std::nullopt;   // end of image or start of scan before any frame header
        const std::size_t length = Be16(d + at + 2);
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 7 || at + 9 > n)
                return std::nullopt;
            return IMAGE_SIZE{Be16(d + at + 7), Be16(d + at + 5)};
        }
        if (length < 2)
            return std::nullopt;
        at += 2 + length;
    }
    return std::nullopt;
}

std::optional<IMAGE_SIZE> Gif(const unsigned char* d, std::size_t n)
{
    if (n < 10)
        return std::nullopt;
    return IMAGE_SIZE{Le16(d + 6), Le16(d + 8)};
}

std::optional<IMAGE_SIZE> Bmp(const unsigned char* d, std::size_t n)
{
    if (n < 26)
        return std::nullopt;
    const std::uint32_t header = Le32(d + 14);
    if (header == 12)   // BITMAPCOREHEADER: 16-bit sizes
        return IMAGE_SIZE{Le16(d + 18), Le16(d + 20)};
    const auto width = static_cast<std::int32_t>(Le32(d + 18));
    const auto height = static_cast<std::int32_t>(Le32(d + 22));   // negative: rows top-down
    const auto magnitude = [](std::int32_t v) {
        return v < 0 ? static_cast<std::uint32_t>(-static_cast<std::int64_t>(v)) : static_cast<std::uint32_t>(v);
    };
    return IMAGE_SIZE{magnitude(width), magnitude(height)};
}

std::optional<IMAGE_SIZE> Tiff(const unsigned char* d, std::size_t n)
{
    const bool le = d[0] == 'I';
    const auto u16 = [&](std::size_t at) { return le ? Le16(d + at) : Be16(d + at); };
    const auto u32 = [&](std::size_t at) { return le ? Le32(d + at) : Be32(d + at); };
    if (n < 8)
        return std::nullopt;
    const std::size_t ifd = u32(4);
    if (ifd > n || n - ifd < 2)
        return std::nullopt;
    const std::size_t entries = u16(ifd);
    std::optional<std::uint32_t> width, height;
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t e = ifd + 2 + i * 12;
        if (e > n || n - e < 12)
            break;
        const std::uint32_t tag = u16(e);
        const std::uint32_t type = u16(e + 2);
        const std::uint32_t value = type == 3 ? u16(e + 8) : u32(e + 8);   // SHORT or LONG
        if (tag == 256)
            width = value;
        else if (tag == 257)
            height = value;
    }
    if (!width || !height)
        return std::nullopt;
    return IMAGE_SIZE{*width, *height};
}

}  // namespace

std::optional<IMAGE_SIZE> ReadImageSize(const unsigned char* data, std::size_t size)
{
    if (size >= 8 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0)
        return Png(data, size);
    if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF)
        return Jpeg(data, size);
    if (size >= 6 && (std::memcmp(data, "GIF87a", 6) == 0 || std::memcmp(data, "GIF89a", 6) == 0))
        return Gif(data, size);
    if (size >= 2 && data[0] == 'B' && data[1] == 'M')
        return Bmp(data, size);
    if (size >= 4 && (std::memcmp(data, "II*\0", 4) == 0 || std::memcmp(data, "MM\0*", 4) == 0))
        return Tiff(data, size);
    return std::nullopt;
}
