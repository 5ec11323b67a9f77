#include "OString.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

struct OString::Record {
    volatile LONG Refs_;
    CHAR* volatile Narrow_;
    WCHAR* volatile Wide_;
    int Capacity_;
    UINT CodePage_;
};

namespace {

const WCHAR EMPTY_WIDE_[1] = {0};
const CHAR EMPTY_NARROW_[1] = {0};

// Narrow buffers hold 4 bytes per character for UTF-8, 2 for the others.
size_t NarrowBytes(int capacity, UINT code_page)
{
    return (static_cast<size_t>(capacity) + 1) * (code_page == OCP_UTF8 ? 4 : 2);
}

int NarrowLength(LPCSTR text, int length)
{
    if (!text)
        return 0;
    int n = 0;
    while ((length < 0 || n < length) && text[n])
        ++n;
    return n;
}

int WideLength(LPCWSTR text, int length)
{
    if (!text)
        return 0;
    int n = 0;
    while ((length < 0 || n < length) && text[n])
        ++n;
    return n;
}

WCHAR FoldAscii(WCHAR ch)
{
    return (ch >= L'a' && ch <= L'z') ? static_cast<WCHAR>(ch - L'a' + L'A') : ch;
}

// Publishes a freshly made form unless another thread got there first.
template <typename C>
C* Publish(C* volatile* slot, C* made)
{
    C* prev = static_cast<C*>(InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(slot), made, nullptr));
    if (prev) {
        std::free(made);
        return prev;
    }
    return made;
}

}  // namespace

OString::Record* OString::NewRecord(int capacity, UINT code_page)
{
    Record* rec = static_cast<Record*>(std::malloc(sizeof(Record)));
    WCHAR* wide = static_cast<WCHAR*>(std::malloc((static_cast<size_t>(capacity) + 1) * sizeof(WCHAR)));
    if (!rec || !wide) {
        std::free(rec);
        std::free(wide);
        SetLastError(ERROR_OUTOFMEMORY);
        return nullptr;
    }
    wide[0] = 0;
    rec->Refs_ = 1;
    rec->Narrow_ = nullptr;
    rec->Wide_ = wide;
    rec->Capacity_ = capacity;
    rec->CodePage_ = code_page;
    return rec;
}

void OString::Release(Record* rec)
{
    if (rec && InterlockedDecrement(&rec->Refs_) == 0) {
        std::free(rec->Narrow_);
        std::free(rec->Wide_);
        std::free(rec);
    }
}

OString::OString() : Rec_(nullptr) {}

OString::OString(LPCSTR text, UINT code_page) : OString(text, -1, code_page) {}

OString::OString(LPCSTR text, int length, UINT code_page) : Rec_(nullptr)
{
    const int n = NarrowLength(text, length);
    Record* rec = static_cast<Record*>(std::malloc(sizeof(Record)));
    CHAR* narrow = static_cast<CHAR*>(std::malloc(NarrowBytes(n, code_page)));
    if (!rec || !narrow) {
        std::free(rec);
        std::free(narrow);
        SetLastError(ERROR_OUTOFMEMORY);
        return;
    }
    if (n)
        std::memcpy(narrow, text, n);
    narrow[n] = 0;
    rec->Refs_ = 1;
    rec->Narrow_ = narrow;
    rec->Wide_ = nullptr;
    rec->Capacity_ = n;  // no code page makes more UTF-16 units than bytes
    rec->CodePage_ = code_page;
    Rec_ = rec;
}

OString::OString(LPCWSTR text, UINT code_page) : OString(text, -1, code_page) {}

OString::OString(LPCWSTR text, int length, UINT code_page) : Rec_(nullptr)
{
    const int n = WideLength(text, length);
    Rec_ = NewRecord(n, code_page);
    if (Rec_) {
        if (n)
            std::memcpy(Rec_->Wide_, text, n * sizeof(WCHAR));
        Rec_->Wide_[n] = 0;
    }
}

OString::OString(const OString& other) : Rec_(other.Rec_)
{
    if (Rec_)
        InterlockedIncrement(&Rec_->Refs_);
}

OString::OString(OString&& other) noexcept : Rec_(other.Rec_)
{
    other.Rec_ = nullptr;
}

OString& OString::operator=(const OString& other)
{
    if (other.Rec_ != Rec_) {
        if (other.Rec_)
            InterlockedIncrement(&other.Rec_->Refs_);
        Release(Rec_);
        Rec_ = other.Rec_;
    }
    return *this;
}

OString& OString::operator=(OString&& other) noexcept
{
    if (this != &other) {
        Release(Rec_);
        Rec_ = other.Rec_;
        other.Rec_ = nullptr;
    }
    return *this;
}

OString::~OString()
{
    Release(Rec_);
}

UINT OString::GetCodePage() const
{
    return Rec_ ? Rec_->CodePage_ : OCP_ANSI;
}

LPCWSTR OString::Wide() const
{
    if (!Rec_)
        return EMPTY_WIDE_;
    if (WCHAR* wide = Rec_->Wide_)
        return wide;
    const CHAR* narrow = Rec_->Narrow_;
    const int bytes = static_cast<int>(std::strlen(narrow));
    const UINT cp = OCodePage::Resolve(Rec_->CodePage_);
    int units;
    if (cp == OCP_UTF8)
        units = OCodePage::Utf8ToWide(narrow, bytes, nullptr);
    else if (cp == OCP_BYTES)
        units = bytes;
    else
        units = bytes ? MultiByteToWideChar(cp, 0, narrow, bytes, nullptr, 0) : 0;
    const int capacity = units > Rec_->Capacity_ ? units : Rec_->Capacity_;
    WCHAR* made = static_cast<WCHAR*>(std::malloc((static_cast<size_t>(capacity) + 1) * sizeof(WCHAR)));
    if (!made) {
        SetLastError(ERROR_OUTOFMEMORY);
        return EMPTY_WIDE_;
    }
    if (cp == OCP_UTF8) {
        OCodePage::Utf8ToWide(narrow, bytes, made);
    } else if (cp == OCP_BYTES) {
        for (int i = 0; i < bytes; ++i)
            made[i] = static_cast<BYTE>(narrow[i]);
    } else if (units > 0) {
        units = MultiByteToWideChar(cp, 0, narrow, bytes, made, units);
    }
    made[units > 0 ? units : 0] = 0;
    return Publish(&Rec_->Wide_, made);
}

LPCSTR OString::Narrow() const
{
    if (!Rec_)
        return EMPTY_NARROW_;
    if (CHAR* narrow = Rec_->Narrow_)
        return narrow;
    const WCHAR* wide = Rec_->Wide_;
    const int units = static_cast<int>(std::wcslen(wide));
    const UINT cp = OCodePage::Resolve(Rec_->CodePage_);
    size_t size = NarrowBytes(Rec_->Capacity_, Rec_->CodePage_);
    int needed = 0;
    if (cp != OCP_UTF8 && cp != OCP_BYTES && units > 0) {
        // Some code pages need more than two bytes per character: size the
        // buffer by what the conversion reports rather than cut the text.
        needed = WideCharToMultiByte(cp, 0, wide, units, nullptr, 0, nullptr, nullptr);
        if (needed > 0 && static_cast<size_t>(needed) + 1 > size)
            size = static_cast<size_t>(needed) + 1;
    }
    CHAR* made = static_cast<CHAR*>(std::malloc(size));
    if (!made) {
        SetLastError(ERROR_OUTOFMEMORY);
        return EMPTY_NARROW_;
    }
    int bytes = 0;
    if (cp == OCP_UTF8) {
        bytes = OCodePage::WideToUtf8(wide, units, made);
    } else if (cp == OCP_BYTES) {
        for (int i = 0; i < units; ++i) {
            const BYTE low = static_cast<BYTE>(wide[i] & 0xFF);
            made[i] = low ? static_cast<CHAR>(low) : '?';
        }
        bytes = units;
    } else if (needed > 0) {
        bytes = WideCharToMultiByte(cp, 0, wide, units, made, needed, nullptr, nullptr);
    }
    made[bytes > 0 ? bytes : 0] = 0;
    return Publish(&Rec_->Narrow_, made);
}

int OString::GetLength() const
{
    return static_cast<int>(std::wcslen(Wide()));
}

BOOL OString::IsEmpty() const
{
    return Wide()[0] == 0;
}

WCHAR OString::GetAt(int index) const
{
    return (index >= 0 && index < GetLength()) ? Wide()[index] : 0;
}

WCHAR* OString::Prepare(int capacity)
{
    const WCHAR* current = Wide();
    const int length = static_cast<int>(std::wcslen(current));
    if (capacity < length)
        capacity = length;
    if (Rec_ && Rec_->Refs_ == 1 && Rec_->Wide_ && Rec_->Capacity_ >= capacity) {
        std::free(Rec_->Narrow_);
        Rec_->Narrow_ = nullptr;
        return Rec_->Wide_;
    }
    if (Rec_ && capacity > Rec_->Capacity_ && Rec_->Capacity_ <= INT_MAX / 2 && Rec_->Capacity_ * 2 > capacity)
        capacity = Rec_->Capacity_ * 2;
    Record* rec = NewRecord(capacity, GetCodePage());
    if (!rec)
        return nullptr;
    std::memcpy(rec->Wide_, current, (static_cast<size_t>(length) + 1) * sizeof(WCHAR));
    Release(Rec_);
    Rec_ = rec;
    return rec->Wide_;
}

BOOL OString::Append(LPCWSTR text, int length)
{
    const int n = WideLength(text, length);
    if (n == 0)
        return TRUE;
    const int current = GetLength();
    if (current > INT_MAX - n) {
        SetLastError(ERROR_OUTOFMEMORY);
        return FALSE;
    }
    // The text may lie in this string's own buffer, which Prepare can free.
    const WCHAR* own = Wide();
    if (text >= own && text <= own + current) {
        OString copy(text, n, OCP_ANSI);
        if (copy.GetLength() != n)
            return FALSE;
        return Append(copy.Wide(), n);
    }
    WCHAR* buffer = Prepare(current + n);
    if (!buffer)
        return FALSE;
    std::memcpy(buffer + current, text, n * sizeof(WCHAR));
    buffer[current + n] = 0;
    return TRUE;
}

BOOL OString::Append(const OString& text)
{
    if (text.Rec_ == Rec_) {
        const OString copy(text);  // keeps the shared record alive
        return Append(copy.Wide(), copy.GetLength());
    }
    return Append(text.Wide(), text.GetLength());
}

BOOL OString::Append(WCHAR ch)
{
    const WCHAR text[2] = {ch, 0};
    return Append(text, 1);
}

int OString::Find(WCHAR ch, int from) const
{
    const WCHAR* s = Wide();
    const int length = static_cast<int>(std::wcslen(s));
    if (ch == 0)
        return -1;
    for (int i = from < 0 ? 0 : from; i < length; ++i)
        if (s[i] == ch)
            return i;
    return -1;
}

int OString::Find(LPCWSTR text, int from) const
{
    const WCHAR* s = Wide();
    const int length = static_cast<int>(std::wcslen(s));
    if (from < 0)
        from = 0;
    if (!text || from > length)
        return -1;
    const WCHAR* hit = std::wcsstr(s + from, text);
    return hit ? static_cast<int>(hit - s) : -1;
}

int OString::ReverseFindOneOf(LPCWSTR set) const
{
    const WCHAR* s = Wide();
    if (!set)
        return -1;
    for (int i = static_cast<int>(std::wcslen(s)) - 1; i >= 0; --i)
        if (std::wcschr(set, s[i]))
            return i;
    return -1;
}

int OString::FindNarrow(CHAR ch, int from) const
{
    const BYTE* s = reinterpret_cast<const BYTE*>(Narrow());
    const UINT cp = OCodePage::Resolve(GetCodePage());
    if (ch == 0)
        return -1;
    for (int i = 0; s[i];) {
        if (i >= from && s[i] == static_cast<BYTE>(ch))
            return i;
        i += (OCodePage::IsLeadByte(cp, s[i]) && s[i + 1]) ? 2 : 1;
    }
    return -1;
}

int OString::Replace(LPCWSTR from, LPCWSTR to)
{
    if (!from || !from[0])
        return 0;
    if (!to)
        to = EMPTY_WIDE_;
    const WCHAR* s = Wide();
    const size_t from_len = std::wcslen(from);
    const size_t to_len = std::wcslen(to);
    int count = 0;
    for (const WCHAR* p = std::wcsstr(s, from); p; p = std::wcsstr(p + from_len, from))
        ++count;
    if (count == 0)
        return 0;
    OString result(L"", GetCodePage());
    const WCHAR* p = s;
    for (const WCHAR* hit = std::wcsstr(p, from); hit; hit = std::wcsstr(p, from)) {
        if (!result.Append(p, static_cast<int>(hit - p)) || !result.Append(to, static_cast<int>(to_len)))
            return 0;
        p = hit + from_len;
    }
    if (!result.Append(p))
        return 0;
    *this = static_cast<OString&&>(result);
    return count;
}

void OString::TrimRight(WCHAR ch)
{
    const WCHAR* s = Wide();
    const int length = static_cast<int>(std::wcslen(s));
    int keep = length;
    while (keep > 0 && s[keep - 1] == ch)
        --keep;
    if (keep == length)
        return;
    if (WCHAR* buffer = Prepare(length))
        buffer[keep] = 0;
}

OString OString::Left(int count) const
{
    return Mid(0, count < 0 ? 0 : count);
}

OString OString::Mid(int first, int count) const
{
    const WCHAR* s = Wide();
    const int length = static_cast<int>(std::wcslen(s));
    if (first < 0)
        first = 0;
    if (first > length)
        first = length;
    if (count < 0 || count > length - first)
        count = length - first;
    return OString(s + first, count, GetCodePage());
}

OString OString::Right(int count) const
{
    const int length = GetLength();
    if (count < 0)
        count = 0;
    if (count > length)
        count = length;
    return Mid(length - count, count);
}

int OString::CompareNoCase(const OString& other) const
{
    const WCHAR* a = Wide();
    const WCHAR* b = other.Wide();
    for (;; ++a, ++b) {
        const WCHAR x = FoldAscii(*a);
        const WCHAR y = FoldAscii(*b);
        if (x != y)
            return x < y ? -1 : 1;
        if (x == 0)
            return 0;
    }
}
