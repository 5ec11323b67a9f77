// The size an image declares, read from its header before it is decoded:
// the figure the bound on printed images relies on, for every format read.

#include <gtest/gtest.h>

#include <string>

#include "ImageSize.h"

namespace {

std::string Be16(unsigned v) { return {char(v >> 8), char(v & 0xFF)}; }
std::string Le16(unsigned v) { return {char(v & 0xFF), char(v >> 8)}; }
std::string Be32(unsigned v) { return Be16(v >> 16) + Be16(v & 0xFFFF); }
std::string Le32(unsigned v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }

std::string Describe(const std::string& bytes)
{
    const auto size = ReadImageSize(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return size ? std::to_string(size->Width) + "x" + std::to_string(size->Height) : "none";
}

TEST(ImageSize, EachFormatsHeaderAndHeadersCutShort)
{
    const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + Be32(13) + "IHDR" + Be32(16000) + Be32(12000) +
                            std::string("\x01\x00\x00\x00\x00", 5);
    EXPECT_EQ(Describe(png), "16000x12000");
    EXPECT_EQ(Describe(png.substr(0, 23)), "none");

    // A quantisation table and a Huffman table (C4: not a frame header) come
    // first; then a progressive frame header.
    const std::string jpeg = std::string("\xFF\xD8", 2) + "\xFF\xDB" + Be16(4) + "ab" + "\xFF\xC4" + Be16(3) + "c" +
                             "\xFF\xC2" + Be16(17) + "\x08" + Be16(65000) + Be16(64000) + std::string(12, '\x01');
    EXPECT_EQ(Describe(jpeg), "64000x65000");
    EXPECT_EQ(Describe(jpeg.substr(0, jpeg.size() - 14)), "none");
    EXPECT_EQ(Describe(std::string("\xFF\xD8\xFF\xDA", 4) + Be16(8) + "scan"), "none");

    EXPECT_EQ(Describe("GIF89a" + Le16(4000) + Le16(3000) + "..."), "4000x3000");
    EXPECT_EQ(Describe("GIF87a\x01"), "none");

    const std::string bmp = "BM" + std::string(12, '\0') + Le32(40) + Le32(30000) + Le32(0xFFFFFC18u) + "..";
    EXPECT_EQ(Describe(bmp), "30000x1000");   // negative height: rows top-down
    EXPECT_EQ(Describe("BM" + std::string(12, '\0') + Le32(12) + Le16(640) + Le16(480) + "...."), "640x480");

    const std::string tiff = std::string("II*\0", 4) + Le32(8) + Le16(2) + Le16(256) + Le16(4) + Le32(1) +
                             Le32(50000) + Le16(257) + Le16(3) + Le32(1) + Le16(20000) + Le16(0);
    EXPECT_EQ(Describe(tiff), "50000x20000");
    const std::string motorola = std::string("MM\0*", 4) + Be32(8) + Be16(2) + Be16(256) + Be16(3) + Be32(1) +
                                 Be16(700) + Be16(0) + Be16(257) + Be16(3) + Be32(1) + Be16(500) + Be16(0);
    EXPECT_EQ(Describe(motorola), "700x500");
    EXPECT_EQ(Describe(std::string("II*\0", 4) + Le32(0xFFFFFFF0u)), "none");   // IFD beyond the end

    EXPECT_EQ(Describe("plain text, not a picture"), "none");
    EXPECT_EQ(Describe(""), "none");
}

}  // namespace
