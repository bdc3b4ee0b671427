#include "delta_rebuild.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_set>

#include "delta_patch.h"
#include "digest.h"
#include "directory_listing.h"
#include "os_error.h"
#include "platform.h"
#include "unique_fd.h"
#include "utf8.h"

namespace installer {
namespace {

using Kind = DeltaEntry::Kind;
using Source = DeltaEntry::Source;
using support::Result;
using support::UniqueFd;

// O_NONBLOCK keeps a FIFO standing where a file or directory belongs from
// blocking the open; it changes nothing for regular files.
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
// Directories stay open to their owner until the end: their own modes may
// forbid creating or listing what is below them.
constexpr mode_t kWorkingDirectoryMode = 0700;

std::string shown(std::string_view path) { return support::lossy_utf8(path); }

support::Error mismatch(std::string_view path) {
  return support::Error("the installed application does not match this delta update: " +
                        shown(path));
}

support::Error invalid(const std::string& what) {
  return support::Error("the delta update's manifest is invalid: " + what);
}

support::Error failure(std::string_view path, const std::string& cause) {
  return support::Error("could not rebuild " + shown(path) + ": " + cause);
}

support::Error failure(std::string_view path, int error) {
  return failure(path, support::os_error_text(error));
}

// The errors of opening by a path whose entries are not what they should
// be: missing, not a directory on the way, or a link.
bool is_wrong_entry(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

struct Split {
  std::string_view parent;  // empty for the bundle's root
  std::string name;
};

Split split(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {{}, std::string(path)};
  return {path.substr(0, slash), std::string(path.substr(slash + 1))};
}

// Opens the directories of one tree by their paths inside it, one component
// at a time and never through a link. The last one stays open, so that its
// children and entries are reached from it; at most three descriptors at once.
class DirectoryOpener {
 public:
  explicit DirectoryOpener(int root) : root_(root) {}

  // The directory's descriptor, valid until the next call; or -1 with
  // `error` set.
  int open(std::string_view path, int& error) {
    if (path.empty()) return root_;
    if (current_.valid() && path == current_path_) return current_.get();
    std::string_view rest = path;
    int from = root_;
    if (current_.valid() && path.size() > current_path_.size() &&
        path.compare(0, current_path_.size(), current_path_) == 0 &&
        path[current_path_.size()] == '/') {
      rest = path.substr(current_path_.size() + 1);
      from = current_.get();
    }
    UniqueFd reached;
    for (;;) {
      size_t slash = rest.find('/');
      std::string component(rest.substr(0, slash));
      UniqueFd next(support::retry_on_eintr(
          [&] { return ::openat(reached.valid() ? reached.get() : from, component.c_str(),
                                kDirectoryFlags); }));
      if (!next.valid()) {
        error = errno;
        current_.reset();
        return -1;
      }
      reached = std::move(next);
      if (slash == std::string_view::npos) break;
      rest = rest.substr(slash + 1);
    }
    current_ = std::move(reached);
    current_path_ = std::string(path);
    return current_.get();
  }

 private:
  int root_;
  UniqueFd current_;
  std::string current_path_;
};

Result<UniqueFd> open_root(const std::string& path) {
  UniqueFd fd(support::retry_on_eintr([&] { return ::open(path.c_str(), kDirectoryFlags); }));
  if (!fd.valid()) return failure(path, errno);
  return fd;
}

// The installed regular file at `path`, after checking its digest.
Result<UniqueFd> open_installed(DirectoryOpener& installed, const std::string& path,
                                const support::Sha256Digest& digest) {
  Split where = split(path);
  int error = 0;
  int directory = installed.open(where.parent, error);
  if (directory < 0) return is_wrong_entry(error) ? mismatch(path) : failure(path, error);
  UniqueFd fd(support::retry_on_eintr(
      [&] { return ::openat(directory, where.name.c_str(), kReadFlags); }));
  if (!fd.valid()) return is_wrong_entry(errno) ? mismatch(path) : failure(path, errno);
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) return failure(path, errno);
  if (!S_ISREG(status.st_mode)) return mismatch(path);
  Result<support::Sha256Digest> actual = support::sha256_of_descriptor(fd.get());
  if (!actual) return failure(path, actual.error());
  if (*actual != digest) return mismatch(path);
  return fd;
}

support::Error not_a_file(const std::string& path) {
  return invalid("the archive holds " + shown(path) + ", which is not a file");
}

// The staged regular file `name` in `directory`, which must be there.
Result<UniqueFd> open_staged_file(int directory, const std::string& name,
                                  const std::string& path) {
  UniqueFd fd(
      support::retry_on_eintr([&] { return ::openat(directory, name.c_str(), kReadFlags); }));
  if (!fd.valid()) {
    if (errno == ENOENT) return invalid("the archive lacks " + shown(path));
    if (errno == ELOOP) return not_a_file(path);
    return failure(path, errno);
  }
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) return failure(path, errno);
  if (!S_ISREG(status.st_mode)) return not_a_file(path);
  return fd;
}

support::Error occupied(const std::string& path, const char* listed_as) {
  return invalid("the archive holds " + shown(path) + ", which the manifest lists as " +
                 listed_as);
}

Result<void> write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = support::retry_on_eintr([&] { return ::write(fd, data, size); });
    if (written < 0) return support::os_error(errno);
    data += written;
    size -= static_cast<size_t>(written);
  }
  return support::success();
}

Result<void> copy_contents(int from, int to) {
  char buffer[65536];
  off_t offset = 0;
  for (;;) {
    ssize_t got =
        support::retry_on_eintr([&] { return ::pread(from, buffer, sizeof buffer, offset); });
    if (got < 0) return support::os_error(errno);
    if (got == 0) return support::success();
    Result<void> written = write_all(to, buffer, static_cast<size_t>(got));
    if (!written) return written;
    offset += got;
  }
}

// A kept file: cloned where the volume can, copied where it cannot.
Result<void> take_kept(int source, int directory, const std::string& name,
                       const std::string& path) {
  int cloned = support::platform::clone_file(source, directory, name.c_str());
  if (cloned == 0) return support::success();
  if (cloned == EEXIST) return occupied(path, "a kept file");
  if (cloned != ENOTSUP && cloned != EXDEV) return failure(path, cloned);
  UniqueFd copy(support::retry_on_eintr(
      [&] { return ::openat(directory, name.c_str(), kCreateFlags, 0600); }));
  if (!copy.valid()) return errno == EEXIST ? occupied(path, "a kept file") : failure(path, errno);
  Result<void> copied = copy_contents(source, copy.get());
  if (!copied) return failure(path, copied.error());
  return support::success();
}

// A new file beside the one it will replace, removed unless kept.
class TemporaryFile {
 public:
  TemporaryFile(int directory) : directory_(directory) {}
  ~TemporaryFile() {
    if (!name_.empty()) ::unlinkat(directory_, name_.c_str(), 0);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Names that the archive happens to hold are skipped, never replaced.
  Result<int> create() {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      std::string name = ".zentrivale-rebuilding-" + std::to_string(attempt);
      int fd = support::retry_on_eintr(
          [&] { return ::openat(directory_, name.c_str(), kCreateFlags, 0600); });
      if (fd >= 0) {
        fd_.reset(fd);
        name_ = std::move(name);
        return fd;
      }
      if (errno != EEXIST) return support::os_error(errno);
    }
    return support::os_error(EEXIST);
  }

  Result<void> replace(const std::string& name) {
    if (::renameat(directory_, name_.c_str(), directory_, name.c_str()) != 0) {
      return support::os_error(errno);
    }
    name_.clear();
    return support::success();
  }

 private:
  static constexpr int kAttempts = 100;
  int directory_;
  UniqueFd fd_;
  std::string name_;
};

// A patched file: the patch staged at the entry's path applied to the
// installed base, the result then taking the patch's place.
Result<void> apply_staged_patch(DirectoryOpener& installed, int directory, const DeltaEntry& entry,
                                const std::string& name) {
  Result<UniqueFd> base = open_installed(installed, entry.base_path, entry.base_sha256);
  if (!base) return std::move(base).take_error();
  struct stat status;
  if (::fstat(base->get(), &status) != 0) return failure(entry.base_path, errno);
  Result<UniqueFd> patch = open_staged_file(directory, name, entry.path);
  if (!patch) return std::move(patch).take_error();
  TemporaryFile result(directory);
  Result<int> fd = result.create();
  if (!fd) return failure(entry.path, fd.error());
  Result<void> applied = apply_patch(base->get(), static_cast<std::uint64_t>(status.st_size),
                                     patch->get(), *fd, entry.size, shown(entry.path));
  if (!applied && is_damaged_patch(applied.error())) return applied;
  if (applied) applied = result.replace(name);
  if (!applied) return failure(entry.path, applied.error());
  return support::success();
}

Result<void> remove_extended_attributes(int fd, const std::string& path) {
  Result<std::vector<std::string>> names = support::platform::extended_attribute_names(fd);
  if (!names) return failure(path, names.error());
  for (const std::string& attribute : *names) {
    Result<bool> removed = support::platform::remove_extended_attribute(fd, attribute.c_str());
    if (!removed) return failure(path, removed.error());
  }
  return support::success();
}

// Every file ends the same way, whatever its source: checked against the
// manifest, stripped of extended attributes, given its mode.
Result<void> finish_file(int directory, const std::string& name, const DeltaEntry& entry) {
  Result<UniqueFd> fd = open_staged_file(directory, name, entry.path);
  if (!fd) return std::move(fd).take_error();
  struct stat status;
  if (::fstat(fd->get(), &status) != 0) return failure(entry.path, errno);
  if (static_cast<std::uint64_t>(status.st_size) != entry.size) {
    return invalid(shown(entry.path) + " has " + std::to_string(status.st_size) +
                   " bytes where the manifest records " + std::to_string(entry.size));
  }
  Result<support::Sha256Digest> digest = support::sha256_of_descriptor(fd->get());
  if (!digest) return failure(entry.path, digest.error());
  if (*digest != entry.sha256) {
    return invalid(shown(entry.path) + " does not have the digest the manifest records");
  }
  Result<void> stripped = remove_extended_attributes(fd->get(), entry.path);
  if (!stripped) return stripped;
  if (::fchmod(fd->get(), static_cast<mode_t>(entry.mode)) != 0) return failure(entry.path, errno);
  return support::success();
}

Result<void> make_directory(int parent, const std::string& name, const std::string& path) {
  if (::mkdirat(parent, name.c_str(), kWorkingDirectoryMode) != 0 && errno != EEXIST) {
    return failure(path, errno);
  }
  UniqueFd fd(
      support::retry_on_eintr([&] { return ::openat(parent, name.c_str(), kDirectoryFlags); }));
  if (!fd.valid()) {
    if (errno == ENOTDIR || errno == ELOOP) return occupied(path, "a directory");
    return failure(path, errno);
  }
  if (::fchmod(fd.get(), kWorkingDirectoryMode) != 0) return failure(path, errno);
  return support::success();
}

Result<void> rebuild_entry(DirectoryOpener& installed, DirectoryOpener& staged,
                           const DeltaEntry& entry) {
  Split where = split(entry.path);
  int error = 0;
  int directory = staged.open(where.parent, error);
  if (directory < 0) return failure(entry.path, error);
  if (entry.kind == Kind::directory) return make_directory(directory, where.name, entry.path);
  if (entry.kind == Kind::symlink) {
    if (::symlinkat(entry.link_target.c_str(), directory, where.name.c_str()) == 0) {
      return support::success();
    }
    return errno == EEXIST ? occupied(entry.path, "a link") : failure(entry.path, errno);
  }
  Result<void> produced = support::success();
  if (entry.source == Source::kept) {
    Result<UniqueFd> source = open_installed(installed, entry.path, entry.sha256);
    if (!source) return std::move(source).take_error();
    produced = take_kept(source->get(), directory, where.name, entry.path);
  } else if (entry.source == Source::patched) {
    produced = apply_staged_patch(installed, directory, entry, where.name);
  }
  if (!produced) return produced;
  return finish_file(directory, where.name, entry);
}

// Refuses what the staged directory `path` holds beyond the manifest.
Result<void> check_listing(int directory, const std::string& path,
                           const std::unordered_set<std::string_view>& listed) {
  Result<support::DirStream> listing = support::listing_from_start(directory);
  if (!listing) return failure(path, listing.error());
  std::string entry_path;
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(listing->get());
    if (entry == nullptr) return errno == 0 ? support::success() : failure(path, errno);
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    entry_path = path.empty() ? entry->d_name : path + "/" + entry->d_name;
    if (listed.count(entry_path) == 0) {
      return invalid("the archive holds " + shown(entry_path) +
                     ", which the manifest does not list");
    }
  }
}

// Every staged entry lies in the root or in a listed directory, each of
// which is a real directory by now: listing those finds every entry.
Result<void> refuse_unlisted(const DeltaManifest& manifest, DirectoryOpener& staged) {
  std::unordered_set<std::string_view> listed;
  for (const DeltaEntry& entry : manifest.entries) listed.insert(entry.path);
  int error = 0;
  Result<void> checked = check_listing(staged.open({}, error), {}, listed);
  for (auto entry = manifest.entries.begin(); checked && entry != manifest.entries.end(); ++entry) {
    if (entry->kind != Kind::directory) continue;
    int directory = staged.open(entry->path, error);
    if (directory < 0) return failure(entry->path, error);
    checked = check_listing(directory, entry->path, listed);
  }
  return checked;
}

// Last, and children before parents: a directory's own mode may shut out
// its owner.
Result<void> set_directory_modes(const DeltaManifest& manifest, DirectoryOpener& staged) {
  for (auto entry = manifest.entries.rbegin(); entry != manifest.entries.rend(); ++entry) {
    if (entry->kind != Kind::directory) continue;
    int error = 0;
    int directory = staged.open(entry->path, error);
    if (directory < 0) return failure(entry->path, error);
    if (::fchmod(directory, static_cast<mode_t>(entry->mode)) != 0) {
      return failure(entry->path, errno);
    }
  }
  return support::success();
}

}  // namespace

Result<void> rebuild_bundle(const DeltaManifest& manifest, const std::string& installed,
                            const std::string& staged) {
  Result<UniqueFd> installed_root = open_root(installed);
  if (!installed_root) return std::move(installed_root).take_error();
  Result<UniqueFd> staged_root = open_root(staged);
  if (!staged_root) return std::move(staged_root).take_error();
  DirectoryOpener installed_directories(installed_root->get());
  DirectoryOpener staged_directories(staged_root->get());
  for (const DeltaEntry& entry : manifest.entries) {
    Result<void> rebuilt = rebuild_entry(installed_directories, staged_directories, entry);
    if (!rebuilt) return rebuilt;
  }
  Result<void> complete = refuse_unlisted(manifest, staged_directories);
  if (!complete) return complete;
  return set_directory_modes(manifest, staged_directories);
}

}  // namespace installer
