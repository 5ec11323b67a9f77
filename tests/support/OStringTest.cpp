#include <windows.h>

#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "OArray.h"
#include "OString.h"

namespace {

TEST(OString, CopiesShareUntilOneChanges)
{
    OString a(L"Brenwick");
    OString b(a);
    EXPECT_EQ(a.Wide(), b.Wide());  // one record
    ASSERT_TRUE(b.Append(L" Port"));
    EXPECT_STREQ(a.Wide(), L"Brenwick");
    EXPECT_STREQ(b.Wide(), L"Brenwick Port");
    OString c = b;
    c.TrimRight(L't');
    EXPECT_STREQ(b.Wide(), L"Brenwick Port");
    EXPECT_STREQ(c.Wide(), L"Brenwick Por");
    c.Replace(L"Por", L"Drivers");
    EXPECT_STREQ(b.Wide(), L"Brenwick Port");
    EXPECT_STREQ(c.Wide(), L"Brenwick Drivers");
    OString self(L"ab");
    self.Append(self);
    self.Append(self.Wide() + 1);
    EXPECT_STREQ(self.Wide(), L"ababbab");
}

TEST(OString, CopiesAreReleasedSafelyOnManyThreads)
{
    const OString shared(L"shared text", OCP_UTF8);
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                OString copy(shared);
                OString another = copy;
                if (std::strcmp(another.Narrow(), "shared text") != 0)
                    ++bad[t];
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(bad, std::vector<int>(4, 0));
    EXPECT_STREQ(shared.Wide(), L"shared text");
}

TEST(OString, Utf8TwoAndThreeByteSequencesBothWays)
{
    const OString e_acute("\xC3\xA9", OCP_UTF8);
    EXPECT_EQ(e_acute.GetLength(), 1);
    EXPECT_EQ(e_acute.GetAt(0), 0x00E9);
    EXPECT_STREQ(OString(L"\u00E9", OCP_UTF8).Narrow(), "\xC3\xA9");
    const OString euro("x\xE2\x82\xAC", OCP_UTF8);
    EXPECT_STREQ(euro.Wide(), L"x\u20AC");
    EXPECT_STREQ(OString(L"\u20AC\u07FF\u0800", OCP_UTF8).Narrow(), "\xE2\x82\xAC\xDF\xBF\xE0\xA0\x80");
    // Each UTF-16 unit on its own: a surrogate pair takes 3 + 3 bytes, and reads back.
    const OString pair(L"\xD83D\xDE00", OCP_UTF8);
    EXPECT_STREQ(pair.Narrow(), "\xED\xA0\xBD\xED\xB8\x80");
    EXPECT_STREQ(OString(pair.Narrow(), OCP_UTF8).Wide(), L"\xD83D\xDE00");
    EXPECT_STREQ(OString("\xF0\x9F\x98\x80", OCP_UTF8).Wide(), L"\xD83D\xDE00");
    // Bytes that start no sequence, and sequences cut short, become U+FFFD.
    EXPECT_STREQ(OString("a\x80" "b\xC3", OCP_UTF8).Wide(), L"a\xFFFD" L"b\xFFFD");
    EXPECT_STREQ(OString("\xE2\x82", OCP_UTF8).Wide(), L"\xFFFD\xFFFD");
    EXPECT_STREQ(OString("\xC0\xAF", OCP_UTF8).Wide(), L"\xFFFD\xFFFD");  // overlong "/"
    EXPECT_STREQ(OString("\xE2\x82\xAC", 2, OCP_UTF8).Wide(), L"\xFFFD\xFFFD");
}

TEST(OString, CodePage64999MapsBytesToLowBits)
{
    const OString bytes("\x41\xE9\xFF", OCP_BYTES);
    EXPECT_STREQ(bytes.Wide(), L"A\u00E9\u00FF");
    EXPECT_STREQ(OString(L"A\u0141\u00FF", OCP_BYTES).Narrow(), "AA\xFF");
    EXPECT_STREQ(OString(L"a\u0100b", OCP_BYTES).Narrow(), "a?b");  // a zero low byte does not end the text
}

TEST(OString, NarrowSearchStepsOverDoubleByteCharacters)
{
    // 0x95 0x5C is one Shift JIS character whose second byte is a backslash.
    const OString sjis("\x95\x5C" "a\\b", 932);
    EXPECT_EQ(sjis.FindNarrow('\\'), 3);
    EXPECT_EQ(sjis.FindNarrow('a'), 2);
    EXPECT_EQ(sjis.FindNarrow('\\', 4), -1);
    const OString latin("\x95\x5C" "a\\b", 1252);
    EXPECT_EQ(latin.FindNarrow('\\'), 1);
    const OString gbk("\x81\x5C\\", 936);
    EXPECT_EQ(gbk.FindNarrow('\\'), 2);
    EXPECT_EQ(OString("\xD9\x5C\\", 1361).FindNarrow('\\'), 2);
    EXPECT_EQ(OString("\xD4\x5C\\", 1361).FindNarrow('\\'), 1);  // 0xD4 leads nothing in Johab
    const OString cut("ab\x95", 932);  // a lead byte at the end
    EXPECT_EQ(cut.FindNarrow('\\'), -1);
    EXPECT_EQ(cut.FindNarrow('b'), 1);
}

TEST(OString, AnsiAndOtherCodePagesGoThroughTheSystem)
{
    EXPECT_STREQ(OString("plain", OCP_ANSI).Wide(), L"plain");
    EXPECT_STREQ(OString(L"\u00E9", 1252).Narrow(), "\xE9");
    // UTF-8 through the system needs 3 bytes per character.
    EXPECT_STREQ(OString(L"\u20AC\u20AC\u20AC", 65001).Narrow(), "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC");
}

TEST(OString, ComparisonIgnoresAsciiCaseOnly)
{
    EXPECT_EQ(OString(L"MODEL").CompareNoCase(L"model"), 0);
    EXPECT_EQ(OString("bwtcpipmon[ENU].dll").CompareNoCase(L"BWTCPIPMON[enu].DLL"), 0);
    EXPECT_NE(OString(L"\u00C9").CompareNoCase(L"\u00E9"), 0);
    EXPECT_NE(OString(L"[").CompareNoCase(L"{"), 0);  // '[' and '{' differ by 0x20 but are not letters
    EXPECT_LT(OString(L"abc").CompareNoCase(L"ABD"), 0);
    EXPECT_GT(OString(L"abcd").CompareNoCase(L"ABC"), 0);
    EXPECT_LT(OString(L"").CompareNoCase(L"a"), 0);
}

TEST(OString, SearchesAndParts)
{
    const OString path(L"PRINT:Monitors/Brenwick Port/Value");
    EXPECT_EQ(path.Find(L':'), 5);
    EXPECT_EQ(path.Find(L'P', 1), 24);
    EXPECT_EQ(path.Find(L'P', 24), 24);
    EXPECT_EQ(path.Find(L'P', 99), -1);
    EXPECT_EQ(path.Find(L"Port"), 24);
    EXPECT_EQ(path.Find(L"port"), -1);
    EXPECT_EQ(path.ReverseFindOneOf(L":/"), 28);
    EXPECT_EQ(path.ReverseFindOneOf(L"#"), -1);
    EXPECT_STREQ(path.Left(5).Wide(), L"PRINT");
    EXPECT_STREQ(path.Mid(29).Wide(), L"Value");
    EXPECT_STREQ(path.Mid(6, 8).Wide(), L"Monitors");
    EXPECT_STREQ(path.Right(5).Wide(), L"Value");
    EXPECT_STREQ(path.Left(-3).Wide(), L"");
    EXPECT_STREQ(path.Mid(100).Wide(), L"");
    EXPECT_STREQ(path.Right(1000).Wide(), path.Wide());
    OString slashes(L"a//b////");
    EXPECT_EQ(slashes.Replace(L"//", L"%2F"), 3);
    EXPECT_STREQ(slashes.Wide(), L"a%2Fb%2F%2F");
    EXPECT_EQ(slashes.Replace(L"", L"x"), 0);
    OString trail(L"key\\\\\\");
    trail.TrimRight(L'\\');
    EXPECT_STREQ(trail.Wide(), L"key");
    EXPECT_EQ(OString(L"x").GetAt(5), 0);
}

TEST(OBaseArray, GrowsByTheRuleAndZeroesNewElements)
{
    OTypedArray<DWORD> a;
    ASSERT_TRUE(a.SetSize(10));
    EXPECT_EQ(a.GetCapacity(), 10);  // first allocation: exactly n
    a.SetAt(9, 7);
    ASSERT_TRUE(a.SetSize(11));  // step 10 / 8 = 1, at least 4
    EXPECT_EQ(a.GetCapacity(), 14);
    EXPECT_EQ(a.GetAt(10), 0u);
    ASSERT_TRUE(a.SetSize(100));  // n beats capacity + step
    EXPECT_EQ(a.GetCapacity(), 100);
    ASSERT_TRUE(a.SetSize(101));  // step 100 / 8 = 12
    EXPECT_EQ(a.GetCapacity(), 112);
    ASSERT_TRUE(a.SetSize(9000));
    ASSERT_TRUE(a.SetSize(9001));  // step 9000 / 8, at most 1024
    EXPECT_EQ(a.GetCapacity(), 10024);
    a.SetAt(50, 5);
    ASSERT_TRUE(a.SetSize(40));  // shrinking keeps the buffer
    EXPECT_EQ(a.GetCapacity(), 10024);
    ASSERT_TRUE(a.SetSize(60));  // elements back in range are zeroed
    EXPECT_EQ(a.GetAt(50), 0u);
    ASSERT_TRUE(a.SetSize(0));
    EXPECT_EQ(a.GetCapacity(), 0);
    EXPECT_FALSE(a.SetSize(-1));

    OTypedArray<void*> fixed(100);
    ASSERT_TRUE(fixed.Add(&fixed));
    ASSERT_TRUE(fixed.Add(nullptr));
    EXPECT_EQ(fixed.GetCapacity(), 101);  // explicit step
    EXPECT_EQ(fixed.GetAt(0), &fixed);
    ASSERT_TRUE(fixed.RemoveAt(0));
    EXPECT_EQ(fixed.GetSize(), 1);
    EXPECT_EQ(fixed.GetAt(0), nullptr);
    EXPECT_FALSE(fixed.RemoveAt(1));
}

}  // namespace
