#include "bench_trees.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bench {
namespace {

constexpr long kFilesPerDirectory = 100;
constexpr long kDirectoriesPerGroup = 100;
constexpr long kFixedFiles = 3;  // Info.plist, the executable, version

std::string failure(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

std::string make_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return {};
  return failure("mkdir", path);
}

std::string write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return failure("create", path);
  bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  bool closed = ::close(fd) == 0;
  return written && closed ? std::string() : failure("write", path);
}


// `count` files under `resources`, 100 to a directory, 100 directories to a
// group, or all in `resources` itself.
std::string make_resources(const std::string& resources, long count, Shape shape) {
  std::string directory = resources;
  for (long i = 0; i < count; ++i) {
    if (shape == Shape::nested && i % kFilesPerDirectory == 0) {
      long leaf = i / kFilesPerDirectory;
      std::string group = resources + "/g" + std::to_string(leaf / kDirectoriesPerGroup);
      if (leaf % kDirectoriesPerGroup == 0) {
        if (std::string error = make_directory(group); !error.empty()) return error;
      }
      directory = group + "/d" + std::to_string(leaf % kDirectoriesPerGroup);
      if (std::string error = make_directory(directory); !error.empty()) return error;
    }
    std::string name = "resource-" + std::to_string(i) + ".dat";
    if (std::string error = write_file(directory + "/" + name, name + "\n"); !error.empty()) {
      return error;
    }
  }
  return {};
}

}  // namespace

bool parse_shape(const std::string& text, Shape& shape) {
  if (text == "nested") shape = Shape::nested;
  else if (text == "flat") shape = Shape::flat;
  else return false;
  return true;
}

std::string make_bundle(const std::string& app, long files, Shape shape,
                        const std::string& bundle_id, const std::string& version) {
  if (files < kFixedFiles) return "a bundle needs at least 3 files";
  const std::string contents = app + "/Contents";
  for (const std::string& directory :
       {app, contents, contents + "/MacOS", contents + "/Resources"}) {
    if (std::string error = make_directory(directory); !error.empty()) return error;
  }
  if (std::string error = write_file(contents + "/Info.plist", info_plist(bundle_id));
      !error.empty()) {
    return error;
  }
  if (std::string error =
          write_file(contents + "/MacOS/Zentrivale", "#!/bin/sh\nexit 0\n", 0755);
      !error.empty()) {
    return error;
  }
  if (std::string error = write_file(contents + "/Resources/version", version + "\n");
      !error.empty()) {
    return error;
  }
  return make_resources(contents + "/Resources", files - kFixedFiles, shape);
}

std::string info_plist(const std::string& bundle_id, const std::string& bundle_version) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n<dict>\n"
         "  <key>CFBundleExecutable</key>\n  <string>Zentrivale</string>\n"
         "  <key>CFBundleIdentifier</key>\n  <string>" +
         bundle_id + "</string>\n  <key>CFBundleVersion</key>\n  <string>" + bundle_version +
         "</string>\n</dict>\n</plist>\n";
}

std::string read_text(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buffer[256];
  ssize_t length = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

}  // namespace bench
