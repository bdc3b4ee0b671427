// Extracting ZIP archives with libzip, never outside the destination.
#include "zip_extraction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "full_io.h"
#include "open_beneath.h"
#include "os_error.h"
#include "utf8.h"
#include "zip_error_text.h"
#include "zip_item.h"

namespace delta {
namespace {

using support::Error;
using support::Result;
using support::UniqueFd;

struct ZipClose {
  void operator()(zip_t* archive) const { ::zip_discard(archive); }
};
struct ZipFileClose {
  void operator()(zip_file_t* file) const { ::zip_fclose(file); }
};

struct Entry {
  std::string path;  // without a trailing "/"
  ZipItem::Kind kind = ZipItem::Kind::file;
  std::uint32_t mode = 0;
};

bool is_contained(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  size_t start = 0;
  for (;;) {
    size_t slash = path.find('/', start);
    std::string_view component(path.data() + start,
                               (slash == std::string::npos ? path.size() : slash) - start);
    if (component.empty() || component == "." || component == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

Result<Entry> entry_at(zip_t* archive, zip_uint64_t index) {
  const char* raw_name = ::zip_get_name(archive, index, ZIP_FL_ENC_RAW);
  if (!raw_name) return Error(::zip_strerror(archive));
  Entry entry;
  entry.path = raw_name;
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  if (::zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0) {
    return Error(::zip_strerror(archive));
  }
  const bool unix_mode = system == ZIP_OPSYS_UNIX && (attributes >> 16) != 0;
  const std::uint32_t mode = unix_mode ? attributes >> 16 : 0;
  const bool trailing_slash = !entry.path.empty() && entry.path.back() == '/';
  if (trailing_slash) entry.path.pop_back();
  if (trailing_slash || S_ISDIR(mode)) {
    entry.kind = ZipItem::Kind::directory;
  } else if (S_ISLNK(mode)) {
    entry.kind = ZipItem::Kind::symlink;
  }
  entry.mode = unix_mode ? (mode & 0777) : (entry.kind == ZipItem::Kind::directory ? 0755 : 0644);
  if (!is_contained(entry.path)) {
    return Error("refusing an entry outside the destination: " + support::printable(raw_name));
  }
  return entry;
}

Result<std::string> entry_bytes(zip_t* archive, zip_uint64_t index) {
  std::unique_ptr<zip_file_t, ZipFileClose> file(::zip_fopen_index(archive, index, 0));
  if (!file) return Error(::zip_strerror(archive));
  std::string bytes;
  char buffer[65536];
  for (;;) {
    zip_int64_t n = ::zip_fread(file.get(), buffer, sizeof buffer);
    if (n < 0) return Error(::zip_file_strerror(file.get()));
    if (n == 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

Result<void> copy_entry(zip_t* archive, zip_uint64_t index, int fd) {
  std::unique_ptr<zip_file_t, ZipFileClose> file(::zip_fopen_index(archive, index, 0));
  if (!file) return Error(::zip_strerror(archive));
  char buffer[65536];
  for (;;) {
    zip_int64_t n = ::zip_fread(file.get(), buffer, sizeof buffer);
    if (n < 0) return Error(::zip_file_strerror(file.get()));
    if (n == 0) return support::success();
    Result<void> written = support::write_all(fd, std::string_view(buffer, static_cast<size_t>(n)));
    if (!written) return written;
  }
}

// Creates `entry` below `root`, its parents made as needed.
Result<void> create(zip_t* archive, zip_uint64_t index, const Entry& entry, int root) {
  const size_t slash = entry.path.rfind('/');
  const std::string parent = slash == std::string::npos ? "" : entry.path.substr(0, slash);
  const std::string name = entry.path.substr(slash == std::string::npos ? 0 : slash + 1);
  Result<UniqueFd> directory = open_beneath(root, parent, O_RDONLY | O_DIRECTORY, 0, true);
  if (!directory) return std::move(directory).take_error();
  const int at = directory->get();

  switch (entry.kind) {
    case ZipItem::Kind::directory:
      if (::mkdirat(at, name.c_str(), 0700) != 0 && errno != EEXIST) {
        return support::os_error(errno);
      }
      return support::success();
    case ZipItem::Kind::symlink: {
      Result<std::string> target = entry_bytes(archive, index);
      if (!target) return std::move(target).take_error();
      if (::symlinkat(target->c_str(), at, name.c_str()) != 0) return support::os_error(errno);
      return support::success();
    }
    case ZipItem::Kind::file: {
      Result<UniqueFd> file = open_beneath(at, name, O_WRONLY | O_CREAT | O_EXCL, 0600);
      if (!file) return std::move(file).take_error();
      Result<void> copied = copy_entry(archive, index, file->get());
      if (!copied) return copied;
      if (::fchmod(file->get(), entry.mode) != 0) return support::os_error(errno);
      return support::success();
    }
  }
  return support::success();
}

// Directories get their modes last, once nothing more is written into them.
Result<void> set_directory_modes(const std::vector<Entry>& directories, int root) {
  for (auto it = directories.rbegin(); it != directories.rend(); ++it) {
    Result<UniqueFd> fd = open_beneath(root, it->path, O_RDONLY | O_DIRECTORY);
    if (!fd) return Error(support::printable(it->path) + ": " + fd.error());
    if (::fchmod(fd->get(), it->mode) != 0) {
      return Error(support::printable(it->path) + ": " + support::os_error_text(errno));
    }
  }
  return support::success();
}

Result<void> extract_all(zip_t* archive, int root) {
  const zip_int64_t count = ::zip_get_num_entries(archive, 0);
  std::vector<Entry> directories;
  for (zip_int64_t i = 0; i < count; ++i) {
    const auto index = static_cast<zip_uint64_t>(i);
    Result<Entry> entry = entry_at(archive, index);
    if (!entry) return std::move(entry).take_error();
    Result<void> created = create(archive, index, *entry, root);
    if (!created) return Error(support::printable(entry->path) + ": " + created.error());
    if (entry->kind == ZipItem::Kind::directory) directories.push_back(std::move(*entry));
  }
  return set_directory_modes(directories, root);
}

}  // namespace

Result<void> extract_zip(const std::string& path, const std::string& destination) {
  auto failure = [&](const std::string& cause) {
    return Error("cannot extract " + support::printable(path) + ": " + cause);
  };
  int code = 0;
  std::unique_ptr<zip_t, ZipClose> archive(
      ::zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
  if (!archive) {
    return failure(zip_error_text(code));
  }
  Result<UniqueFd> root = open_directory(destination);
  if (!root) return failure(support::printable(destination) + ": " + root.error());
  Result<void> extracted = extract_all(archive.get(), root->get());
  if (!extracted) return failure(extracted.error());
  return support::success();
}

}  // namespace delta
