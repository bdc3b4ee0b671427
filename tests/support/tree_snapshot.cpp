#include "tree_snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace test_support {
namespace {

// FNV-1a: enough to tell contents apart in a test.
std::string digest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  uint64_t hash = 1469598103934665603ull;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
    }
  }
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

void walk(const std::string& root, const std::string& relative, const std::set<std::string>& skip,
          Snapshot& out) {
  std::string directory = relative.empty() ? root : root + "/" + relative;
  DIR* listing = ::opendir(directory.c_str());
  if (!listing) {
    out[relative + "/"] = "unreadable";
    return;
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  for (const std::string& name : names) {
    std::string path = relative.empty() ? name : relative + "/" + name;
    if (skip.count(path)) continue;
    std::string full = root + "/" + path;
    struct stat st;
    if (::lstat(full.c_str(), &st) != 0) {
      out[path] = "vanished";
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      out[path] = "directory " + octal(st.st_mode);
      walk(root, path, skip, out);
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = ::readlink(full.c_str(), target, sizeof target);
      out[path] = "link " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISREG(st.st_mode)) {
      out[path] = "file " + octal(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                  digest(full);
    } else {
      out[path] = "special " + std::to_string(st.st_mode);
    }
  }
}

}  // namespace

Snapshot snapshot(const std::string& root, const std::set<std::string>& skip) {
  struct stat st;
  if (::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {{".", "not a directory"}};
  Snapshot out;
  walk(root, "", skip, out);
  return out;
}

std::string difference(const Snapshot& before, const Snapshot& after) {
  std::string differences;
  int shown = 0;
  auto note = [&](const std::string& line) {
    if (++shown <= 20) differences += "\n  " + line;
  };
  for (const auto& [path, description] : before) {
    auto found = after.find(path);
    if (found == after.end()) {
      note("removed: " + path);
    } else if (found->second != description) {
      note("changed: " + path + " (" + description + " -> " + found->second + ")");
    }
  }
  for (const auto& [path, description] : after) {
    if (!before.count(path)) note("added: " + path + " (" + description + ")");
  }
  return differences;
}

}  // namespace test_support
