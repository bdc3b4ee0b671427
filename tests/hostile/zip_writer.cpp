#include "zip_writer.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace hostile {
namespace {

std::string read_link(const std::string& path) {
  std::vector<char> buffer(4096);
  ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
  return n < 0 ? std::string() : std::string(buffer.data(), static_cast<size_t>(n));
}

// An archive without entries is its end record alone. libzip writes nothing
// at all for one, so the empty-archive case needs these 22 bytes by hand.
const std::string kEmptyArchive("PK\x05\x06" + std::string(18, '\0'));

struct SourceFree {
  void operator()(zip_source_t* source) const { ::zip_source_free(source); }
};
using Source = std::unique_ptr<zip_source_t, SourceFree>;

std::string failed(const std::string& what, const char* why) {
  std::fprintf(stderr, "ZipWriter: %s: %s\n", what.c_str(), why);
  return std::string();
}

// The bytes of the in-memory archive that zip_close wrote into `source`.
std::string contents(zip_source_t* source) {
  if (::zip_source_open(source) != 0) return failed("reading the archive", "open");
  std::string bytes;
  char buffer[65536];
  for (zip_int64_t n; (n = ::zip_source_read(source, buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<size_t>(n));
  }
  ::zip_source_close(source);
  return bytes;
}

}  // namespace

void ZipWriter::entry(const std::string& name, const std::string& content, uint32_t mode,
                      uint8_t system) {
  entries_.push_back({name, content, mode, system});
}

void ZipWriter::file(const std::string& name, const std::string& content,
                     uint32_t permissions) {
  entry(name, content, S_IFREG | permissions);
}

void ZipWriter::directory(const std::string& name) { entry(name + "/", "", S_IFDIR | 0755); }

void ZipWriter::symlink(const std::string& name, const std::string& target) {
  entry(name, target, S_IFLNK | 0777);
}

bool ZipWriter::tree(const std::string& directory, const std::string& prefix,
                     const ModeFor& mode_for) {
  DIR* listing = ::opendir(directory.c_str());
  if (!listing) return false;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(listing)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string path = directory + "/" + name;
    std::string entry_name = prefix + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
      this->directory(entry_name);
      if (!tree(path, entry_name + "/", mode_for)) return false;
    } else if (S_ISLNK(st.st_mode)) {
      symlink(entry_name, read_link(path));
    } else {
      std::ifstream in(path, std::ios::binary);
      std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      uint32_t mode = mode_for ? mode_for(entry_name) : 0;
      entry(entry_name, content, mode != 0 ? mode : S_IFREG | (st.st_mode & 07777));
    }
  }
  return true;
}

std::string ZipWriter::bytes() const {
  if (entries_.empty()) return kEmptyArchive;
  zip_error_t error;
  ::zip_error_init(&error);
  Source buffer(::zip_source_buffer_create(nullptr, 0, 0, &error));
  if (!buffer) return failed("creating the archive", ::zip_error_strerror(&error));
  zip_t* archive = ::zip_open_from_source(buffer.get(), ZIP_TRUNCATE, &error);
  if (!archive) return failed("creating the archive", ::zip_error_strerror(&error));
  ::zip_source_keep(buffer.get());  // read back after zip_close

  for (const Entry& e : entries_) {
    zip_source_t* content = ::zip_source_buffer(archive, e.content.data(), e.content.size(), 0);
    zip_int64_t index = content ? ::zip_file_add(archive, e.name.c_str(), content, ZIP_FL_ENC_GUESS) : -1;
    if (index < 0) {
      if (content) ::zip_source_free(content);
      std::string why = ::zip_strerror(archive);
      ::zip_discard(archive);
      return failed(e.name, why.c_str());
    }
    const auto i = static_cast<zip_uint64_t>(index);
    const uint32_t dos_directory = S_ISDIR(e.mode) ? 0x10 : 0;
    const uint32_t attributes = (e.system == ZIP_OPSYS_UNIX ? e.mode << 16 : 0) | dos_directory;
    if (::zip_set_file_compression(archive, i, ZIP_CM_STORE, 0) != 0 ||
        ::zip_file_set_external_attributes(archive, i, 0, e.system, attributes) != 0 ||
        ::zip_file_set_mtime(archive, i, 315532800, 0) != 0) {  // 1980-01-01
      std::string why = ::zip_strerror(archive);
      ::zip_discard(archive);
      return failed(e.name, why.c_str());
    }
  }
  if (::zip_close(archive) != 0) {
    std::string why = ::zip_strerror(archive);
    ::zip_discard(archive);
    return failed("writing the archive", why.c_str());
  }
  return contents(buffer.get());
}

bool ZipWriter::write(const std::string& path) const {
  std::string data = bytes();
  if (data.empty()) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

}  // namespace hostile
