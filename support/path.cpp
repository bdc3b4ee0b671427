#include "path.h"

#include <vector>

namespace support {
namespace {

// A path split the way the file system reads it: an optional root, then its
// components, with empty and "." components dropped (a leading "." kept, as
// it makes the path explicitly relative).
struct Components {
  bool rooted = false;
  std::vector<std::string_view> parts;
};

Components split(std::string_view path) {
  Components result;
  result.rooted = !path.empty() && path.front() == '/';
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    bool leading = start == 0;
    if (!part.empty() && (part != "." || (leading && !result.rooted))) {
      result.parts.push_back(part);
    }
    start = end + 1;
  }
  return result;
}

}  // namespace

std::string join(std::string_view base, std::string_view component) {
  if (!component.empty() && component.front() == '/') return std::string(component);
  bool separator = !base.empty() && base.back() != '/';
  std::string result;
  result.reserve(base.size() + (separator ? 1 : 0) + component.size());
  result.append(base);
  if (separator) result.push_back('/');
  result.append(component);
  return result;
}

std::optional<std::string> parent(std::string_view path) {
  Components c = split(path);
  if (c.parts.empty()) return std::nullopt;
  // The parent keeps the caller's own bytes up to the end of the component
  // before the last one (or the root, or nothing at all).
  if (c.parts.size() == 1) return std::string(c.rooted ? "/" : "");
  std::string_view before = c.parts[c.parts.size() - 2];
  size_t end = static_cast<size_t>(before.data() - path.data()) + before.size();
  return std::string(path.substr(0, end));
}

std::optional<std::string> file_name(std::string_view path) {
  Components c = split(path);
  if (c.parts.empty()) return std::nullopt;
  std::string_view last = c.parts.back();
  if (last == ".." || last == ".") return std::nullopt;
  return std::string(last);
}

std::optional<std::string> extension(std::string_view path) {
  std::optional<std::string> name = file_name(path);
  if (!name) return std::nullopt;
  size_t dot = name->rfind('.');
  if (dot == std::string::npos || dot == 0) return std::nullopt;
  return name->substr(dot + 1);
}

std::optional<std::string> file_stem(std::string_view path) {
  std::optional<std::string> name = file_name(path);
  if (!name) return std::nullopt;
  size_t dot = name->rfind('.');
  if (dot == std::string::npos || dot == 0) return name;
  return name->substr(0, dot);
}

bool same_components(std::string_view a, std::string_view b) {
  Components ca = split(a);
  Components cb = split(b);
  return ca.rooted == cb.rooted && ca.parts == cb.parts;
}

}  // namespace support
