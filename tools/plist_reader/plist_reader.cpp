#include "plist_reader.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>

namespace property_list {
namespace {

struct PlistFree {
  void operator()(plist_t node) const { ::plist_free(node); }
};
using Plist = std::unique_ptr<void, PlistFree>;

// libplist hands out malloc'd keys and iterators.
struct Free {
  void operator()(void* memory) const { std::free(memory); }
};

std::optional<std::string> string_value(plist_t node) {
  if (::plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
  uint64_t length = 0;
  const char* bytes = ::plist_get_string_ptr(node, &length);
  return std::string(bytes ? bytes : "", bytes ? length : 0);
}

}  // namespace

support::Result<TopLevelEntries> parse_top_level(std::string_view data) {
  if (data.size() > std::numeric_limits<uint32_t>::max()) {
    return support::Error("not a property list");
  }
  plist_t parsed = nullptr;
  ::plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &parsed);
  Plist root(parsed);
  if (!root) return support::Error("not a property list");
  if (::plist_get_node_type(root.get()) != PLIST_DICT) {
    return support::Error("the property list's root is not a dictionary");
  }

  TopLevelEntries entries;
  plist_dict_iter raw_iter = nullptr;
  ::plist_dict_new_iter(root.get(), &raw_iter);
  std::unique_ptr<void, Free> iter(raw_iter);
  for (;;) {
    char* raw_key = nullptr;
    plist_t value = nullptr;
    ::plist_dict_next_item(root.get(), iter.get(), &raw_key, &value);
    std::unique_ptr<char, Free> key(raw_key);
    if (!key) break;
    entries[key.get()] = string_value(value);
  }
  return entries;
}

}  // namespace property_list
