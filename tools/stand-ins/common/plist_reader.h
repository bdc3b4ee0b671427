// A small reader for XML property lists: the top-level dictionary's keys and
// their string values. Binary property lists are not understood.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "result.h"

namespace stand_in {

// Each top-level key with its string value, or nothing when the value is of
// another type (integer, array, ...). A key given twice keeps its last value.
using TopLevelEntries = std::map<std::string, std::optional<std::string>>;

// Error: what the reader found wrong, e.g. "expected <key> in the dictionary".
support::Result<TopLevelEntries> parse_top_level(std::string_view xml);

}  // namespace stand_in
