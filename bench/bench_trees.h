// Bundle trees of a chosen size and shape for the installer benchmarks.
#pragma once

#include <string>

namespace bench {

enum class Shape {
  nested,  // Contents/Resources/gNN/dNN/ with 100 files per directory
  flat,    // every file in Contents/Resources itself
};

// "nested" or "flat"; false for anything else.
bool parse_shape(const std::string& text, Shape& shape);

// Creates the bundle directory `app` holding exactly `files` regular files:
// Contents/Info.plist (identifier `bundle_id`, executable "Zentrivale"),
// Contents/MacOS/Zentrivale (mode 0755), Contents/Resources/version (holding
// `version`) and the rest as small files laid out by `shape`. Returns an
// error text, empty on success.
std::string make_bundle(const std::string& app, long files, Shape shape,
                        const std::string& bundle_id, const std::string& version);

// Contents/Info.plist of a bench bundle: executable "Zentrivale",
// `bundle_id`, `bundle_version` as CFBundleVersion.
std::string info_plist(const std::string& bundle_id, const std::string& bundle_version = "1");

// The text of `path`, or an empty string.
std::string read_text(const std::string& path);

}  // namespace bench
