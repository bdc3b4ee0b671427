// Writing ZIP archives with libzip.
#include "zip_writing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <ctime>
#include <memory>

#include "deflated_size.h"
#include "open_beneath.h"
#include "os_error.h"
#include "utf8.h"
#include "zip_error_text.h"

namespace delta {
namespace {

using support::Error;
using support::Result;

// 2001-01-01 00:00:00 UTC: any fixed time inside the DOS date range.
constexpr std::time_t kEntryTime = 978307200;

// A file below a directory descriptor as a libzip source, opened only while
// libzip reads it, so that a bundle of any size costs one descriptor.
struct BundleFileSource {
  int root = -1;
  std::string path;
  support::UniqueFd fd;
  zip_error_t error{};

  static zip_int64_t callback(void* userdata, void* data, zip_uint64_t length,
                              zip_source_cmd_t command) {
    auto* self = static_cast<BundleFileSource*>(userdata);
    switch (command) {
      case ZIP_SOURCE_OPEN: {
        Result<support::UniqueFd> fd = open_beneath(self->root, self->path, O_RDONLY);
        if (!fd) return self->fail(ZIP_ER_OPEN, errno);
        self->fd = std::move(*fd);
        return 0;
      }
      case ZIP_SOURCE_READ: {
        ssize_t n = support::retry_on_eintr([&] { return ::read(self->fd.get(), data, length); });
        return n < 0 ? self->fail(ZIP_ER_READ, errno) : n;
      }
      case ZIP_SOURCE_CLOSE:
        self->fd.reset();
        return 0;
      case ZIP_SOURCE_STAT: {
        auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &self->error);
        if (!st) return -1;
        ::zip_stat_init(st);
        st->mtime = kEntryTime;
        st->valid |= ZIP_STAT_MTIME;
        return sizeof *st;
      }
      case ZIP_SOURCE_ERROR:
        return ::zip_error_to_data(&self->error, data, length);
      case ZIP_SOURCE_FREE:
        ::zip_error_fini(&self->error);
        delete self;
        return 0;
      case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_READABLE;
      default:
        return self->fail(ZIP_ER_OPNOTSUPP, 0);
    }
  }

  zip_int64_t fail(int zip_error, int system_error) {
    ::zip_error_set(&error, zip_error, system_error);
    return -1;
  }
};

zip_source_t* source_of(zip_t* archive, const ZipItem& item) {
  if (item.source_path.empty()) {
    return ::zip_source_buffer(archive, item.bytes.data(), item.bytes.size(), 0);
  }
  auto* file = new BundleFileSource{item.source_root, item.source_path, {}, {}};
  ::zip_error_init(&file->error);
  zip_source_t* source = ::zip_source_function(archive, BundleFileSource::callback, file);
  if (!source) BundleFileSource::callback(file, nullptr, 0, ZIP_SOURCE_FREE);
  return source;
}

std::uint32_t file_type(ZipItem::Kind kind) {
  switch (kind) {
    case ZipItem::Kind::directory: return S_IFDIR;
    case ZipItem::Kind::symlink: return S_IFLNK;
    case ZipItem::Kind::file: return S_IFREG;
  }
  return S_IFREG;
}

// Adds one entry; false with libzip's error in `archive` otherwise.
bool add_item(zip_t* archive, const ZipItem& item) {
  zip_int64_t index = -1;
  if (item.kind == ZipItem::Kind::directory) {
    index = ::zip_dir_add(archive, item.name.c_str(), ZIP_FL_ENC_GUESS);
  } else {
    zip_source_t* source = source_of(archive, item);
    if (!source) return false;
    index = ::zip_file_add(archive, item.name.c_str(), source, ZIP_FL_ENC_GUESS);
    if (index < 0) ::zip_source_free(source);
  }
  if (index < 0) return false;
  const auto i = static_cast<zip_uint64_t>(index);
  // The MS-DOS directory bit as well, for readers that look only at it.
  const std::uint32_t attributes = (file_type(item.kind) | (item.mode & 0777)) << 16 |
                                   (item.kind == ZipItem::Kind::directory ? 0x10 : 0);
  const bool deflated = item.kind == ZipItem::Kind::file && !item.compressed;
  return ::zip_set_file_compression(archive, i, deflated ? ZIP_CM_DEFLATE : ZIP_CM_STORE,
                                    deflated ? kBestLevel : 0) == 0 &&
         ::zip_file_set_external_attributes(archive, i, 0, ZIP_OPSYS_UNIX, attributes) == 0 &&
         ::zip_file_set_mtime(archive, i, kEntryTime, 0) == 0;
}

}  // namespace

Result<void> write_zip(const std::string& path, const std::vector<ZipItem>& items) {
  auto failure = [&](const std::string& cause) {
    return Error("cannot write " + support::printable(path) + ": " + cause);
  };
  int code = 0;
  zip_t* archive = ::zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (!archive) {
    return failure(zip_error_text(code));
  }
  for (const ZipItem& item : items) {
    if (!add_item(archive, item)) {
      std::string cause = support::printable(item.name) + ": " + ::zip_strerror(archive);
      ::zip_discard(archive);
      return failure(cause);
    }
  }
  if (::zip_close(archive) != 0) {
    std::string cause = ::zip_strerror(archive);
    ::zip_discard(archive);
    return failure(cause);
  }
  return support::success();
}

}  // namespace delta
