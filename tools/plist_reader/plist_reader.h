// The top-level dictionary of a property list, XML or binary, read with
// libplist, as PlistBuddy and Launch Services read Info.plist.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "result.h"

namespace property_list {

// Each top-level key with its string value, or nothing when the value is of
// another type (integer, array, ...).
using TopLevelEntries = std::map<std::string, std::optional<std::string>>;

// Error: "not a property list" or "the property list's root is not a
// dictionary".
support::Result<TopLevelEntries> parse_top_level(std::string_view data);

}  // namespace property_list
