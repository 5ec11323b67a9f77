// Comparing port configuration records field by field, so that a failure
// names the fields that differ.
#pragma once

#include <string>

#include "PortUiHarness.h"
#include "TestMonitor.h"

namespace _UITEST {

inline std::string RecordDiff(const _TESTMON::Bytes& want, const _TESTMON::Bytes& got)
{
    using namespace _TESTMON;
    if (want.size() != got.size())
        return "size " + std::to_string(got.size()) + " instead of " + std::to_string(want.size());
    struct Field {
        const char* name;
        RecordField at;
        bool text;
    };
    const Field fields[] = {
        {"szPortName", PORT_NAME, true},       {"szReserved", RESERVED_TEXT, true},
        {"szAddress", ADDRESS, true},          {"szPrinterName", PRINTER_NAME, true},
        {"dwPortNumber", PORT_NUMBER, false},  {"dwReserved", RESERVED_DWORD, false},
        {"dwFromSharedBlock", FROM_SHARED_BLOCK, false}, {"dwSupportsTLS", SUPPORTS_TLS, false},
        {"dwTLSEnabled", TLS_ENABLED, false},  {"dwTLSOption", TLS_OPTION, false},
    };
    std::string diff;
    for (const Field& f : fields) {
        const size_t size = f.text ? TEXT_FIELD_SIZE : 4;
        if (std::equal(want.begin() + f.at, want.begin() + f.at + size, got.begin() + f.at))
            continue;
        diff += std::string(" ") + f.name + ": ";
        diff += f.text ? "\"" + Narrow(GetText(got, f.at)) + "\" instead of \"" + Narrow(GetText(want, f.at)) + "\""
                       : std::to_string(GetDword(got, f.at)) + " instead of " + std::to_string(GetDword(want, f.at));
    }
    return diff;
}

}  // namespace _UITEST
