#include "files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace test_support {
namespace {

namespace fs = std::filesystem;

void make_parent(const std::string& path) {
  fs::path parent = fs::path(path).parent_path();
  std::error_code error;
  if (!parent.empty()) fs::create_directories(parent, error);
  if (error) throw std::runtime_error("cannot create " + parent.string() + ": " + error.message());
}

std::string identity(const struct stat& st) {
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

}  // namespace

void write_file(const std::string& path, const std::string& content, unsigned mode) {
  make_parent(path);
  ::unlink(path.c_str());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    throw std::runtime_error("cannot chmod " + path);
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void make_dir(const std::string& path, unsigned mode) {
  std::error_code error;
  fs::create_directories(path, error);
  if (error || ::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    throw std::runtime_error("cannot create " + path);
  }
}

void make_symlink(const std::string& target, const std::string& link) {
  make_parent(link);
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    throw std::runtime_error("cannot link " + link + " to " + target);
  }
}

bool lexists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> list_directory(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void remove_all(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
  if (!lexists(path)) return;
  // Trees left without permissions by a test are opened up first.
  ::chmod(path.c_str(), 0700);
  for (auto it = fs::recursive_directory_iterator(path, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) ::chmod(it->path().c_str(), 0700);
  }
  fs::remove_all(path, ignored);
}

std::string identity_of_path(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? identity(st) : "missing";
}

std::string identity_of_fd(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 ? identity(st) : "closed";
}

std::string noise(size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<char>(seed >> 24);
  }
  return bytes;
}

}  // namespace test_support
