#include "DosTime.h"

namespace _DDZPACK {

DosTime ToDosTime(std::time_t t)
{
    std::tm tm = {};
    if (!gmtime_r(&t, &tm) || tm.tm_year < 80)
        return DosTime{0, static_cast<uint16_t>((1 << 5) | 1)};
    if (tm.tm_year > 207)
        return DosTime{static_cast<uint16_t>((23 << 11) | (59 << 5) | 29),
                       static_cast<uint16_t>((127 << 9) | (12 << 5) | 31)};
    const int second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second
    return DosTime{static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (second / 2)),
                   static_cast<uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday)};
}

}  // namespace _DDZPACK
