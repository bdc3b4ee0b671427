#include "bundle_paths.h"

#include <algorithm>

namespace installer {

std::optional<std::string> path_fault(std::string_view path) {
  if (path.empty()) return "is empty";
  if (path.find('\0') != std::string_view::npos) return "holds a NUL byte";
  if (path.front() == '/') return "is absolute";
  size_t start = 0;
  for (;;) {
    size_t end = path.find('/', start);
    std::string_view component = path.substr(start, end - start);
    if (component.empty()) return "has an empty component";
    if (component == "." || component == "..") return "has a \".\" or \"..\" component";
    if (end == std::string_view::npos) return std::nullopt;
    start = end + 1;
  }
}

std::optional<std::string> link_target_fault(std::string_view link, std::string_view target) {
  if (target.empty()) return "has an empty target";
  if (target.find('\0') != std::string_view::npos) return "has a target holding a NUL byte";
  if (target.front() == '/') return "has an absolute target";
  size_t depth = static_cast<size_t>(std::count(link.begin(), link.end(), '/'));
  bool descended = false;
  size_t start = 0;
  for (;;) {
    size_t end = target.find('/', start);
    std::string_view component = target.substr(start, end - start);
    if (component == "..") {
      if (descended) return "has a target that climbs after a name";
      if (depth == 0) return "has a target above the bundle";
      --depth;
    } else if (!component.empty() && component != ".") {
      descended = true;
    }
    if (end == std::string_view::npos) return std::nullopt;
    start = end + 1;
  }
}

}  // namespace installer
