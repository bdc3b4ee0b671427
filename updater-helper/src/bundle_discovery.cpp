#include "bundle_discovery.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "os_error.h"
#include "path.h"
#include "utf8.h"

namespace installer {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

bool has_app_extension(const std::string& name) {
  std::optional<std::string> extension = support::extension(name);
  return extension && *extension == "app";
}

support::Error listing_error(int error) {
  return support::Error("could not list staging: " + support::os_error_text(error));
}

// Whether a file name shows a character as is, or needs an escape: controls,
// separators other than the plain space, invisible format characters,
// private use and noncharacters are escaped.
bool is_printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
  if (c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200F) || c == 0x2028 ||
      c == 0x2029 || (c >= 0x202A && c <= 0x202F) || c == 0x205F || c == 0x3000) {
    return false;
  }
  if (c == 0xAD || (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x206F) ||
      c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB)) {
    return false;
  }
  if ((c >= 0xE000 && c <= 0xF8FF) || c >= 0xF0000) return false;  // private use
  if ((c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE) return false;
  return true;
}

void append_escaped(std::string& out, char32_t c, std::string_view encoded) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case 0: out += "\\0"; return;
    default: break;
  }
  if (is_printable(c)) {
    out += encoded;
    return;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
  out += hex;
}

}  // namespace

support::Result<std::string> find_app_bundle(const std::string& staging) {
  std::unique_ptr<DIR, DirCloser> listing(::opendir(staging.c_str()));
  if (!listing) return listing_error(errno);
  std::vector<std::string> candidates;
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(listing.get());
    if (entry == nullptr) {
      if (errno != 0) return listing_error(errno);
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    std::string name = entry->d_name;
    std::string path = support::join(staging, name);
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0) {
      return support::Error("could not inspect " + support::printable_below(staging, path) + ": " +
                            support::os_error_text(errno));
    }
    if (!has_app_extension(name)) continue;
    if (S_ISLNK(status.st_mode)) {
      return support::Error("refusing symlinked application bundle in archive: " +
                            support::printable_below(staging, path));
    }
    if (S_ISDIR(status.st_mode)) candidates.push_back(std::move(path));
  }
  if (candidates.size() != 1) {
    return support::Error("expected exactly one .app bundle at the ZIP root; found " +
                          std::to_string(candidates.size()));
  }
  return std::move(candidates.front());
}

support::Result<void> check_bundle_name(const std::string& found, const std::string& target) {
  std::optional<std::string> found_name = support::file_name(found);
  std::optional<std::string> target_name = support::file_name(target);
  if (found_name == target_name) return support::success();
  return support::Error("archive contains " + debug_name(found_name) + ", expected " +
                        debug_name(target_name));
}

std::string debug_name(const std::optional<std::string>& name) {
  if (!name) return "None";
  std::string text = support::lossy_utf8(*name);
  std::string out = "Some(\"";
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    char32_t c = support::next_code_point(text, pos);
    append_escaped(out, c, std::string_view(text).substr(start, pos - start));
  }
  out += "\")";
  return out;
}

}  // namespace installer
