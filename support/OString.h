#pragma once
// The shared string of the support library.
//
// An OString is a handle to a reference-counted record that carries the text
// in a wide form (UTF-16) and a narrow form in the string's code page (see
// OCodePage.h for 0, 1208 and 64999). Whichever form is missing is made on
// first use and kept in the record. Copying a handle shares the record (the
// count changes with interlocked operations, so handles to one record may be
// copied and released on any thread, and reading either form from several
// threads at once is safe); changing a string first gives it a record of
// its own when the record is shared (copy-on-write).
//
// Text ends at its first NUL character. Positions and lengths count UTF-16
// units, except for FindNarrow, which counts bytes of the narrow form. When
// memory runs out a string reads as empty, and Append reports FALSE with
// ERROR_OUTOFMEMORY.

#include <windows.h>

#include "OCodePage.h"

class OString {
public:
    OString();
    // Narrow text in `code_page`; `length` bytes, or up to the terminator
    // when -1. NULL gives an empty string.
    OString(LPCSTR text, UINT code_page = OCP_ANSI);
    OString(LPCSTR text, int length, UINT code_page);
    // Wide text; `code_page` is the one its narrow form will use.
    OString(LPCWSTR text, UINT code_page = OCP_ANSI);
    OString(LPCWSTR text, int length, UINT code_page);
    OString(const OString& other);
    OString(OString&& other) noexcept;
    OString& operator=(const OString& other);
    OString& operator=(OString&& other) noexcept;
    ~OString();

    // The two forms; never NULL, valid while this handle is unchanged.
    LPCWSTR Wide() const;
    LPCSTR Narrow() const;
    UINT GetCodePage() const;

    int GetLength() const;
    BOOL IsEmpty() const;
    // The unit at `index`, 0 outside the text.
    WCHAR GetAt(int index) const;

    BOOL Append(const OString& text);
    BOOL Append(LPCWSTR text, int length = -1);
    BOOL Append(WCHAR ch);

    // First position at or after `from` holding `ch`, or -1.
    int Find(WCHAR ch, int from = 0) const;
    // First position at or after `from` where `text` starts (case-sensitive).
    int Find(LPCWSTR text, int from = 0) const;
    // Last position holding any character of `set`, or -1.
    int ReverseFindOneOf(LPCWSTR set) const;
    // First byte position at or after `from` in the narrow form holding
    // `ch`; double-byte characters of the code pages 932, 936, 949, 950,
    // 1361 and 54936 are stepped over whole, so a trail byte never matches.
    int FindNarrow(CHAR ch, int from = 0) const;

    // Replaces every occurrence of `from`, left to right, by `to`; returns
    // how many were replaced (0 leaves the string untouched).
    int Replace(LPCWSTR from, LPCWSTR to);
    // Removes every trailing `ch`.
    void TrimRight(WCHAR ch);

    // Parts; counts are clamped to the text.
    OString Left(int count) const;
    OString Mid(int first, int count = -1) const;
    OString Right(int count) const;

    // <0, 0 or >0 comparing UTF-16 units, with a-z taken as A-Z and every
    // other character compared exactly.
    int CompareNoCase(const OString& other) const;

private:
    struct Record;

    static Record* NewRecord(int capacity, UINT code_page);
    static void Release(Record* rec);
    // A writable wide buffer of at least `capacity` units holding the
    // current text, in a record of this handle's own; drops the narrow form.
    WCHAR* Prepare(int capacity);

    Record* Rec_;
};
