#include "Log.h"

#include <iostream>
#include <mutex>

#include "JobStore.h"

namespace _GATEWAY {

namespace {

std::mutex LogMutex_;

std::string Quoted(const std::string& value)
{
    if (!value.empty() && value.find_first_of(" \"=\\\t\r\n") == std::string::npos)
        return value;
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out + "\"";
}

}  // namespace

void LogEvent(const std::string& event, std::initializer_list<LOG_FIELD> fields)
{
    std::string line = "time=" + IsoTime(NowMs()) + " event=" + event;
    for (const LOG_FIELD& f : fields)
        line += " " + f.Key + "=" + Quoted(f.Value);
    std::lock_guard<std::mutex> lock(LogMutex_);
    std::cout << line << std::endl;
}

}  // namespace _GATEWAY
