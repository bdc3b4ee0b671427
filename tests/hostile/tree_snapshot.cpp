#include "tree_snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace hostile {
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
  Snapshot out;
  walk(root, "", skip, out);
  return out;
}

::testing::AssertionResult same_tree(const Snapshot& before, const Snapshot& after) {
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
  if (shown == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << shown << " differences:" << differences;
}

bool deep_file_exists(const std::string& base, const std::string& name, int levels,
                      const std::string& leaf) {
  int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; fd >= 0 && level < levels; ++level) {
    int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(fd);
    fd = next;
  }
  if (fd < 0) return false;
  struct stat st;
  bool found = ::fstatat(fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return found;
}

std::set<std::string> entries_with_prefix(const std::string& directory, const std::string& prefix) {
  std::set<std::string> names;
  if (DIR* listing = ::opendir(directory.c_str())) {
    while (dirent* entry = ::readdir(listing)) {
      std::string name = entry->d_name;
      if (name.compare(0, prefix.size(), prefix) == 0) names.insert(name);
    }
    ::closedir(listing);
  }
  return names;
}

}  // namespace hostile
