#include "tree_snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "tree_walk.h"
#include "unique_fd.h"

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

}  // namespace

Snapshot snapshot(const std::string& root, const std::set<std::string>& skip) {
  struct stat st;
  if (::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {{".", "not a directory"}};
  Snapshot out;
  support::UniqueFd top(support::open_directory(root.c_str()));
  if (!top.valid()) return {{"/", "unreadable"}};
  support::TreeVisitor visitor;
  visitor.order = support::TreeVisitor::Order::sorted;
  visitor.visit = [&](const support::WalkEntry& entry) -> support::Result<bool> {
    const std::string& path = entry.path;
    if (skip.count(path)) return false;
    const mode_t mode = entry.status.st_mode;
    if (S_ISDIR(mode)) {
      out[path] = "directory " + octal(mode);
    } else if (S_ISLNK(mode)) {
      char target[4096];
      ssize_t n = ::readlinkat(entry.directory_fd, entry.name.c_str(), target, sizeof target);
      out[path] = "link " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISREG(mode)) {
      out[path] = "file " + octal(mode) + " " + std::to_string(entry.status.st_size) + " " +
                  digest(root + "/" + path);
    } else {
      out[path] = "special " + std::to_string(mode);
    }
    return true;
  };
  // What cannot be read is part of the snapshot, and the walk goes on.
  visitor.failed = [&](const support::WalkFailure& failure) -> support::Result<void> {
    if (failure.listing) {
      out[failure.path + "/"] = "unreadable";
    } else {
      out[failure.path] = "vanished";
    }
    return support::success();
  };
  (void)support::walk_tree(top.get(), visitor);
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
