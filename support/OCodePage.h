#pragma once
// The code pages OString converts by itself, and the double-byte rule of
// narrow searches.
//
//   1208   UTF-8. Each UTF-16 code unit is encoded on its own (one to three
//          bytes; a surrogate half takes three). Decoding accepts one- to
//          three-byte sequences, and four-byte ones as a surrogate pair;
//          every byte that starts no valid sequence (a stray continuation
//          byte, an overlong form, a sequence cut short) becomes U+FFFD.
//   64999  One byte per code unit: a byte is the unit's low 8 bits. A unit
//          whose low 8 bits are 0 becomes "?", so that it does not end the
//          narrow text.
// Every other code page goes through MultiByteToWideChar and
// WideCharToMultiByte.

#include <windows.h>

enum : UINT {
    OCP_ANSI = 0,
    OCP_UTF8 = 1208,
    OCP_BYTES = 64999,
};

namespace OCodePage {

// UTF-16 units for `length` narrow bytes of UTF-8; at most `length` units.
// With `out` NULL only counts.
int Utf8ToWide(const CHAR* text, int length, WCHAR* out);

// UTF-8 bytes for `length` UTF-16 units; at most 3 bytes per unit. With
// `out` NULL only counts.
int WideToUtf8(const WCHAR* text, int length, CHAR* out);

// The concrete code page of a narrow form: 0 is the process's ANSI code page.
UINT Resolve(UINT code_page);

// True when `byte` starts a two-byte character in one of the double-byte
// code pages 932, 936, 949, 950, 1361 and 54936 (given resolved).
bool IsLeadByte(UINT code_page, BYTE byte);

}  // namespace OCodePage
