#include <random>

#include <gtest/gtest.h>

#include "Codec/Base64.h"

namespace B64 = _CODEC::BASE64;

namespace {

TEST(Base64, EncodesWithPadding)
{
    EXPECT_EQ(B64::Encode(""), _STRING(""));
    EXPECT_EQ(B64::Encode("a"), _STRING("YQ=="));
    EXPECT_EQ(B64::Encode("ab"), _STRING("YWI="));
    EXPECT_EQ(B64::Encode("abc"), _STRING("YWJj"));
    EXPECT_EQ(B64::Encode(_STRING("\xff\xfe\x00", 3)), _STRING("//4A"));
}

TEST(Base64, DecodesStandardInput)
{
    EXPECT_EQ(B64::Decode("YWJj"), _STRING("abc"));
    EXPECT_EQ(B64::Decode("YWI="), _STRING("ab"));
    EXPECT_EQ(B64::Decode("YQ=="), _STRING("a"));
    EXPECT_EQ(B64::Decode("YWI"), _STRING("ab"));     // unpadded: floor(6k/8) bytes
    EXPECT_EQ(B64::Decode("YQ"), _STRING("a"));
    const auto empty = B64::Decode("");
    ASSERT_TRUE(empty.has_value());                  // present, not missing
    EXPECT_EQ(*empty, "");
    EXPECT_EQ(B64::Decode("//4A"), _STRING("\xff\xfe\x00", 3));
}

TEST(Base64, RoundTripsEveryByteValueAndLength)
{
    std::mt19937 rng(12345);
    for (size_t len = 0; len <= 300; ++len) {
        _STRING bytes(len, '\0');
        for (size_t i = 0; i < len; ++i)
            bytes[i] = static_cast<char>(len < 256 && i == 0 ? len : rng() & 0xff);
        const auto text = B64::Encode(bytes);
        ASSERT_TRUE(text.has_value());
        ASSERT_EQ(text->size() % 4, 0u);
        const auto back = B64::Decode(*text);
        ASSERT_TRUE(back.has_value()) << len;
        ASSERT_EQ(*back, bytes) << len;
    }
    _STRING all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    EXPECT_EQ(B64::Decode(*B64::Encode(all)), all);
}

TEST(Base64, RejectsEveryInvalidInputClass)
{
    const char* invalid[] = {
        "YW=I",        // "=" inside the text
        "=YWI",        // "=" at the start
        "YQ===",       // three padding characters
        "YWJj=",       // padding after a complete group
        "YQ=",         // padding that does not complete the group
        "Y",           // one character left over
        "YWJjY",       // five characters
        "YWJj\nYWJj",  // line break
        "YW Jj",       // space
        "YW\tJj",      // tab
        "YW-_",        // URL-safe alphabet
        "YW\xc3\xa4",  // bytes of 128 and more
    };
    for (const char* text : invalid)
        EXPECT_FALSE(B64::Decode(text).has_value()) << text;
    EXPECT_FALSE(B64::Decode(_STRING("YW\0j", 4)).has_value());
}

}  // namespace
