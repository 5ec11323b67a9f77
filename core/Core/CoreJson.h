#pragma once
// The JSON value type of the runtime: objects keep their members ordered by
// key, so serialised objects list members in byte order of their keys.

#include <nlohmann/json.hpp>

typedef nlohmann::json _JSON;
