#pragma once
// The gateway's structured log: one line per event on standard output,
// "time=<UTC ISO 8601> event=<name> key=value ...", values quoted when they
// hold spaces, quotes or equals signs.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

namespace _GATEWAY {

struct LOG_FIELD {
    std::string Key;
    std::string Value;
    LOG_FIELD(std::string key, std::string value) : Key(std::move(key)), Value(std::move(value)) {}
    LOG_FIELD(std::string key, const char* value) : Key(std::move(key)), Value(value) {}
    LOG_FIELD(std::string key, std::int64_t value) : Key(std::move(key)), Value(std::to_string(value)) {}
    LOG_FIELD(std::string key, int value) : Key(std::move(key)), Value(std::to_string(value)) {}
};

void LogEvent(const std::string& event, std::initializer_list<LOG_FIELD> fields = {});

}  // namespace _GATEWAY
