// Paths are byte strings: never normalised, never canonicalised.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace support {

// Appends `component` after one "/"; no separator when `base` is empty or
// already ends in "/". An absolute `component` replaces `base`. Literals
// holding "/" (such as "Library/Caches/Zentrivale") are appended whole.
std::string join(std::string_view base, std::string_view component);

// The path without its last component; trailing separators and "." components
// are disregarded ("a/b/" gives "a", "Zentrivale.app" gives ""). Nothing for a
// path that has no component to remove: the root or an empty path.
std::optional<std::string> parent(std::string_view path);

// The last component, trailing separators and "." components disregarded.
// Nothing when that component is ".." or the path is a root or empty.
std::optional<std::string> file_name(std::string_view path);

// The part of the file name after its last full stop. A name whose only full
// stop is its first character (".app") has none; "a." has an empty one.
std::optional<std::string> extension(std::string_view path);

// The file name without its final extension; ".app" is taken whole.
std::optional<std::string> file_stem(std::string_view path);

// Whether two paths name the same components: doubled or trailing separators
// and "." components (other than a leading one) make no difference.
bool same_components(std::string_view a, std::string_view b);

}  // namespace support
