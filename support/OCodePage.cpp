#include "OCodePage.h"

namespace OCodePage {

namespace {

const WCHAR REPLACEMENT_ = 0xFFFD;

bool IsContinuation(BYTE b)
{
    return (b & 0xC0) == 0x80;
}

}  // namespace

int Utf8ToWide(const CHAR* text, int length, WCHAR* out)
{
    const BYTE* s = reinterpret_cast<const BYTE*>(text);
    int units = 0;
    int i = 0;
    auto put = [&](WCHAR unit) {
        if (out)
            out[units] = unit;
        ++units;
    };
    while (i < length) {
        const BYTE b = s[i];
        const int left = length - i;
        if (b < 0x80) {
            put(b);
            i += 1;
        } else if (b >= 0xC2 && b <= 0xDF && left >= 2 && IsContinuation(s[i + 1])) {
            put(static_cast<WCHAR>(((b & 0x1F) << 6) | (s[i + 1] & 0x3F)));
            i += 2;
        } else if (b >= 0xE0 && b <= 0xEF && left >= 3 && IsContinuation(s[i + 1]) && IsContinuation(s[i + 2])
                   && !(b == 0xE0 && s[i + 1] < 0xA0)) {
            put(static_cast<WCHAR>(((b & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F)));
            i += 3;
        } else if (b >= 0xF0 && b <= 0xF4 && left >= 4 && IsContinuation(s[i + 1]) && IsContinuation(s[i + 2])
                   && IsContinuation(s[i + 3]) && !(b == 0xF0 && s[i + 1] < 0x90)
                   && !(b == 0xF4 && s[i + 1] > 0x8F)) {
            const DWORD cp = ((b & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6)
                           | (s[i + 3] & 0x3F);
            put(static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10)));
            put(static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
            i += 4;
        } else {
            put(REPLACEMENT_);
            i += 1;
        }
    }
    return units;
}

int WideToUtf8(const WCHAR* text, int length, CHAR* out)
{
    int bytes = 0;
    auto put = [&](unsigned value) {
        if (out)
            out[bytes] = static_cast<CHAR>(value);
        ++bytes;
    };
    for (int i = 0; i < length; ++i) {
        const unsigned u = text[i];
        if (u < 0x80) {
            put(u);
        } else if (u < 0x800) {
            put(0xC0 | (u >> 6));
            put(0x80 | (u & 0x3F));
        } else {
            put(0xE0 | (u >> 12));
            put(0x80 | ((u >> 6) & 0x3F));
            put(0x80 | (u & 0x3F));
        }
    }
    return bytes;
}

UINT Resolve(UINT code_page)
{
    return code_page == OCP_ANSI ? GetACP() : code_page;
}

bool IsLeadByte(UINT code_page, BYTE b)
{
    switch (code_page) {
    case 932:  // Shift JIS
        return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936:    // GBK
    case 949:    // Unified Hangul Code
    case 950:    // Big5
    case 54936:  // GB 18030: four-byte forms step as two pairs
        return b >= 0x81 && b <= 0xFE;
    case 1361:  // Johab
        return (b >= 0x84 && b <= 0xD3) || (b >= 0xD8 && b <= 0xDE) || (b >= 0xE0 && b <= 0xF9);
    default:
        return false;
    }
}

}  // namespace OCodePage
