// The path helpers, which derive the install directory, bundle names and the
// staging and backup paths from arguments and archive entries. The input,
// split at its first NUL, is a base and a component (or two paths).
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_check.h"
#include "path.h"

namespace {

using support::extension;
using support::file_name;
using support::file_stem;
using support::join;
using support::parent;
using support::same_components;

void check_join(const std::string& base, const std::string& component) {
  std::string joined = join(base, component);
  const std::string context = fuzz::shown(base) + " + " + fuzz::shown(component);
  std::string expected;
  if (!component.empty() && component[0] == '/') {
    expected = component;
  } else if (base.empty() || base.back() == '/') {
    expected = base + component;
  } else {
    expected = base + "/" + component;
  }
  FUZZ_CHECK(joined == expected, context + " gave " + fuzz::shown(joined));
}

void check_components(const std::string& path) {
  const std::string context = fuzz::shown(path);
  std::optional<std::string> name = file_name(path);
  std::optional<std::string> up = parent(path);
  if (name) {
    FUZZ_CHECK(!name->empty() && name->find('/') == std::string::npos, context);
    FUZZ_CHECK(*name != "." && *name != "..", context);
    FUZZ_CHECK(up.has_value(), context + " has a name but no parent");
    // Taking the path apart and joining it again names the same thing.
    FUZZ_CHECK(same_components(join(*up, *name), path),
               context + " came apart as " + fuzz::shown(*up) + " and " + fuzz::shown(*name));
  }
  if (up) {
    // The parent is the caller's own bytes, never a rewritten path.
    FUZZ_CHECK(path.compare(0, up->size(), *up) == 0,
               context + " has parent " + fuzz::shown(*up));
    FUZZ_CHECK(up->size() < path.size() || path.empty(), context);
  }

  std::optional<std::string> ext = extension(path);
  std::optional<std::string> stem = file_stem(path);
  FUZZ_CHECK(stem.has_value() == name.has_value(), context);
  if (!name) {
    FUZZ_CHECK(!ext, context);
    return;
  }
  if (ext) {
    FUZZ_CHECK(ext->find('.') == std::string::npos, context);
    FUZZ_CHECK(*stem + "." + *ext == *name, context);
    FUZZ_CHECK(!stem->empty(), context + ": a leading full stop alone is no extension");
  } else {
    FUZZ_CHECK(*stem == *name, context);
    FUZZ_CHECK(name->rfind('.') == std::string::npos || name->rfind('.') == 0, context);
  }

  FUZZ_CHECK(same_components(path, path), context);
  FUZZ_CHECK(same_components(path, path + "/"), context);
  FUZZ_CHECK(same_components(path, path + "/."), context);
  FUZZ_CHECK(file_name(path + "/") == name, context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t nul = input.find('\0');
  std::string first = input.substr(0, nul);
  std::string second = nul == std::string::npos ? std::string() : input.substr(nul + 1);

  check_join(first, second);
  check_components(first);
  check_components(second);
  check_components(join(first, second));
  FUZZ_CHECK(same_components(first, second) == same_components(second, first),
             fuzz::shown(first) + " " + fuzz::shown(second));
  return 0;
}
