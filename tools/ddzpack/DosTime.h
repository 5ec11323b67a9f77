#pragma once
// MS-DOS date and time fields of archive entries.

#include <cstdint>
#include <ctime>

namespace _DDZPACK {

struct DosTime {
    uint16_t Time;  // hour << 11 | minute << 5 | second / 2
    uint16_t Date;  // (year - 1980) << 9 | month << 5 | day
};

// The broken-down UTC time of `t`, clamped to what the fields can hold
// (1980-01-01 00:00:00 to 2107-12-31 23:59:58), seconds rounded down to even.
DosTime ToDosTime(std::time_t t);

}  // namespace _DDZPACK
