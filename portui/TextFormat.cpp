#include "TextFormat.h"

namespace {

class Writer {
public:
    Writer(WCHAR* buffer, int capacity) : Buffer_(buffer), Capacity_(capacity), Length_(0) {}

    void Put(WCHAR c)
    {
        if (Length_ < Capacity_ - 1)
            Buffer_[Length_++] = c;
    }
    void Put(LPCWSTR text)
    {
        while (*text)
            Put(*text++);
    }
    void PutNumber(DWORD n)
    {
        WCHAR digits[10];
        int count = 0;
        do {
            digits[count++] = static_cast<WCHAR>(L'0' + n % 10);
            n /= 10;
        } while (n);
        while (count)
            Put(digits[--count]);
    }
    int Finish()
    {
        Buffer_[Length_] = L'\0';
        return Length_;
    }

private:
    WCHAR* Buffer_;
    int Capacity_;
    int Length_;
};

}  // namespace

int FormatText(WCHAR* buffer, int capacity, LPCWSTR format, std::initializer_list<FormatArg> args)
{
    Writer out(buffer, capacity);
    auto next = args.begin();
    for (LPCWSTR p = format; *p; ++p) {
        if (*p != L'%') {
            out.Put(*p);
            continue;
        }
        if (p[1] == L'%') {
            out.Put(L'%');
            ++p;
            continue;
        }
        const bool text = p[1] == L's' || (p[1] == L'l' && p[2] == L's');
        const bool number = p[1] == L'u';
        if (!text && !number) {
            out.Put(*p);
            continue;
        }
        p += (p[1] == L'l') ? 2 : 1;
        if (next == args.end())
            continue;
        const FormatArg& arg = *next++;
        if (arg.IsNumber)
            out.PutNumber(arg.Number);
        else
            out.Put(arg.Text);
    }
    return out.Finish();
}
