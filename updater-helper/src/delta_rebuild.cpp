#include "delta_rebuild.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "delta_patch.h"
#include "digest.h"
#include "directory_listing.h"
#include "full_io.h"
#include "os_error.h"
#include "platform.h"
#include "tree_walk.h"
#include "unique_fd.h"
#include "utf8.h"

namespace installer {
namespace {

using Kind = DeltaEntry::Kind;
using Source = DeltaEntry::Source;
using support::Result;
using support::UniqueFd;
// Every path the manifest lists.
using Listed = std::unordered_set<std::string_view>;

// O_NONBLOCK keeps a FIFO standing where a file belongs from blocking the
// open; it changes nothing for regular files.
constexpr int kReadFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
// Directories stay open to their owner until the end: their own modes may
// forbid creating or listing what is below them.
constexpr mode_t kWorkingDirectoryMode = 0700;

std::string shown(std::string_view path) { return support::printable(path); }

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

// One directory of a tree at a time, reached by its path inside the tree
// and never through a link. Moving from one directory to another climbs to
// their common ancestor by ".." (each step checked to be the directory that
// was descended from, else it starts again from the root) or starts from the
// root when that is shorter, then descends: the opens are as many as the
// levels between the two, and one descriptor stays open.
class DirectoryCursor {
 public:
  explicit DirectoryCursor(int root) : trail_(root) {}

  // The directory's descriptor, valid until the next call; or -1 with
  // `error` set.
  int open(std::string_view path, int& error) {
    std::vector<std::string_view> names = components(path);
    size_t common = 0;
    while (common < names.size() && common < chain_.size() && chain_[common] == names[common]) {
      ++common;
    }
    if (chain_.size() - common > common) to_root();
    while (chain_.size() > common) {
      if (trail_.climb() != 0) {
        to_root();
        break;
      }
      chain_.pop_back();
    }
    for (size_t i = chain_.size(); i < names.size(); ++i) {
      std::string component(names[i]);
      error = trail_.descend(component.c_str());
      if (error != 0) {
        to_root();
        return -1;
      }
      chain_.push_back(std::move(component));
    }
    return trail_.current();
  }

 private:
  static std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> names;
    while (!path.empty()) {
      size_t slash = path.find('/');
      names.push_back(path.substr(0, slash));
      if (slash == std::string_view::npos) break;
      path.remove_prefix(slash + 1);
    }
    return names;
  }

  void to_root() {
    chain_.clear();
    trail_.to_top();
  }

  support::DirectoryTrail trail_;
  std::vector<std::string> chain_;  // from the root's child to the current directory
};

Result<UniqueFd> open_root(const std::string& path) {
  UniqueFd fd(support::open_directory(path.c_str()));
  if (!fd.valid()) return failure(path, errno);
  return fd;
}

// The installed bundle's files. A patch's base is read unchecked: the
// patched file is checked against its own digest as it is written, so the
// base's digest matters only when its entry fails, to tell a changed
// installed application from a damaged update. It is then hashed once,
// however many entries take it as their base.
class InstalledFiles {
 public:
  explicit InstalledFiles(int root) : directories_(root) {}

  // The installed regular file at `path`, which is to have `digest`; one
  // asked for with another digest before cannot have both.
  Result<UniqueFd> open(const std::string& path, const support::Sha256Digest& digest) {
    auto base = bases_.find(path);
    if (base != bases_.end() && base->second.digest != digest) return mismatch(path);
    Result<UniqueFd> fd = open_file(path);
    if (fd && base == bases_.end()) bases_.emplace(path, Base{digest, std::nullopt});
    return fd;
  }

  // Whether the base `open` gave as `fd`, read at offsets only since, has
  // the digest it was asked for with.
  Result<void> check(const std::string& path, int fd) {
    Base& base = bases_.at(path);
    if (!base.matches) {
      Result<support::Sha256Digest> actual = support::sha256_of_descriptor(fd);
      if (!actual) return failure(path, actual.error());
      base.matches = *actual == base.digest;
    }
    if (!*base.matches) return mismatch(path);
    return support::success();
  }

  // The installed regular file at `path`, its bytes not checked: a kept
  // file is checked in its copy, the bytes that will be installed.
  Result<UniqueFd> open_file(const std::string& path) {
    Split where = split(path);
    int error = 0;
    int directory = directories_.open(where.parent, error);
    if (directory < 0) return is_wrong_entry(error) ? mismatch(path) : failure(path, error);
    UniqueFd fd(support::retry_on_eintr(
        [&] { return ::openat(directory, where.name.c_str(), kReadFlags); }));
    if (!fd.valid()) return is_wrong_entry(errno) ? mismatch(path) : failure(path, errno);
    struct stat status;
    if (::fstat(fd.get(), &status) != 0) return failure(path, errno);
    if (!S_ISREG(status.st_mode)) return mismatch(path);
    return fd;
  }

 private:
  struct Base {
    support::Sha256Digest digest;
    std::optional<bool> matches;  // unknown until hashed
  };

  DirectoryCursor directories_;
  std::unordered_map<std::string, Base> bases_;
};

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

Result<void> copy_contents(int from, int to) {
  char buffer[65536];
  off_t offset = 0;
  for (;;) {
    ssize_t got =
        support::retry_on_eintr([&] { return ::pread(from, buffer, sizeof buffer, offset); });
    if (got < 0) return support::os_error(errno);
    if (got == 0) return support::success();
    Result<void> written =
        support::write_all(to, std::string_view(buffer, static_cast<size_t>(got)));
    if (!written) return written;
    offset += got;
  }
}

// A kept file: cloned where the volume can, else copied by the system where
// it can, else read and written here.
Result<void> take_kept(int source, int directory, const std::string& name,
                       const std::string& path) {
  int cloned = support::platform::clone_file(source, directory, name.c_str());
  if (cloned == 0) return support::success();
  if (cloned == EEXIST) return occupied(path, "a kept file");
  if (cloned != ENOTSUP && cloned != EXDEV) return failure(path, cloned);
  UniqueFd copy(support::retry_on_eintr(
      [&] { return ::openat(directory, name.c_str(), kCreateFlags, 0600); }));
  if (!copy.valid()) return errno == EEXIST ? occupied(path, "a kept file") : failure(path, errno);
  int copied_by_system = support::platform::copy_file_data(source, copy.get());
  if (copied_by_system == 0) return support::success();
  if (copied_by_system != ENOTSUP) return failure(path, copied_by_system);
  Result<void> copied = copy_contents(source, copy.get());
  if (!copied) return failure(path, copied.error());
  return support::success();
}

// A new file beside the one it will replace, removed unless kept.
class TemporaryFile {
 public:
  // `parent`: the directory's path in the bundle.
  TemporaryFile(int directory, std::string_view parent, const Listed& listed)
      : directory_(directory), parent_(parent), listed_(listed) {}
  ~TemporaryFile() {
    if (!name_.empty()) ::unlinkat(directory_, name_.c_str(), 0);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Names that the archive happens to hold are skipped, never replaced; so
  // are those the manifest lists, which another thread may be making.
  Result<int> create() {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      std::string name = ".zentrivale-rebuilding-" + std::to_string(attempt);
      if (listed_.count(parent_.empty() ? name : std::string(parent_) + "/" + name) != 0) continue;
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
  std::string_view parent_;
  const Listed& listed_;
  UniqueFd fd_;
  std::string name_;
};

// A patched file: the patch staged at the entry's path applied to the
// installed `base`, the result then taking the patch's place. Yields the
// digest of the bytes written.
Result<support::Sha256Digest> apply_staged_patch(int base, int directory, const DeltaEntry& entry,
                                                 const Split& where, const Listed& listed) {
  const std::string& name = where.name;
  struct stat status;
  if (::fstat(base, &status) != 0) return failure(entry.base_path, errno);
  Result<UniqueFd> patch = open_staged_file(directory, name, entry.path);
  if (!patch) return std::move(patch).take_error();
  TemporaryFile result(directory, where.parent, listed);
  Result<int> fd = result.create();
  if (!fd) return failure(entry.path, fd.error());
  Result<support::Sha256Digest> applied =
      apply_patch(base, static_cast<std::uint64_t>(status.st_size), patch->get(), *fd,
                  entry.size, shown(entry.path));
  if (!applied) {
    if (is_damaged_patch(applied.error())) return std::move(applied).take_error();
    return failure(entry.path, applied.error());
  }
  Result<void> replaced = result.replace(name);
  if (!replaced) return failure(entry.path, replaced.error());
  return applied;
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
// manifest, stripped of extended attributes, given its mode. `written`: the
// digest of the bytes the rebuild wrote, where it wrote them itself. A kept
// file that differs is the installed file's difference.
Result<void> finish_file(int directory, const std::string& name, const DeltaEntry& entry,
                         const std::optional<support::Sha256Digest>& written) {
  Result<UniqueFd> fd = open_staged_file(directory, name, entry.path);
  if (!fd) return std::move(fd).take_error();
  const bool kept = entry.source == Source::kept;
  struct stat status;
  if (::fstat(fd->get(), &status) != 0) return failure(entry.path, errno);
  if (static_cast<std::uint64_t>(status.st_size) != entry.size) {
    if (kept) return mismatch(entry.path);
    return invalid(shown(entry.path) + " has " + std::to_string(status.st_size) +
                   " bytes where the manifest records " + std::to_string(entry.size));
  }
  Result<support::Sha256Digest> digest =
      written ? Result<support::Sha256Digest>(*written) : support::sha256_of_descriptor(fd->get());
  if (!digest) return failure(entry.path, digest.error());
  if (*digest != entry.sha256) {
    if (kept) return mismatch(entry.path);
    return invalid(shown(entry.path) + " does not have the digest the manifest records");
  }
  Result<void> stripped = remove_extended_attributes(fd->get(), entry.path);
  if (!stripped) return stripped;
  if (::fchmod(fd->get(), static_cast<mode_t>(entry.mode)) != 0) return failure(entry.path, errno);
  return support::success();
}

// A patched file. Whatever makes its entry fail, an installed base that
// differs from the manifest's is the failure reported: it is the cause.
Result<void> rebuild_patched(InstalledFiles& installed, int directory, const DeltaEntry& entry,
                             const Split& where, const Listed& listed) {
  Result<UniqueFd> base = installed.open(entry.base_path, entry.base_sha256);
  if (!base) return std::move(base).take_error();
  Result<support::Sha256Digest> patched =
      apply_staged_patch(base->get(), directory, entry, where, listed);
  Result<void> rebuilt = patched ? finish_file(directory, where.name, entry, *patched)
                                 : Result<void>(std::move(patched).take_error());
  if (rebuilt) return rebuilt;
  Result<void> checked = installed.check(entry.base_path, base->get());
  return checked ? rebuilt : checked;
}

Result<void> make_directory(int parent, const std::string& name, const std::string& path) {
  if (::mkdirat(parent, name.c_str(), kWorkingDirectoryMode) != 0 && errno != EEXIST) {
    return failure(path, errno);
  }
  UniqueFd fd(support::open_directory_at(parent, name.c_str()));
  if (!fd.valid()) {
    if (errno == ENOTDIR || errno == ELOOP) return occupied(path, "a directory");
    return failure(path, errno);
  }
  if (::fchmod(fd.get(), kWorkingDirectoryMode) != 0) return failure(path, errno);
  return support::success();
}

// What one thread of the rebuild holds of its own: a way into each tree.
struct Rebuilder {
  Rebuilder(int installed_root, int staged_root, const Listed& listed)
      : installed(installed_root), staged(staged_root), listed(listed) {}
  InstalledFiles installed;
  DirectoryCursor staged;
  const Listed& listed;
};

Result<void> rebuild_entry(Rebuilder& rebuilder, const DeltaEntry& entry) {
  InstalledFiles& installed = rebuilder.installed;
  DirectoryCursor& staged = rebuilder.staged;
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
  if (entry.source == Source::patched) {
    return rebuild_patched(installed, directory, entry, where, rebuilder.listed);
  }
  if (entry.source == Source::kept) {
    Result<UniqueFd> source = installed.open_file(entry.path);
    if (!source) return std::move(source).take_error();
    Result<void> taken = take_kept(source->get(), directory, where.name, entry.path);
    if (!taken) return taken;
  }
  return finish_file(directory, where.name, entry, std::nullopt);
}

// Refuses what the staged directory `path` holds beyond the manifest.
// `named`: the directory as a failure names it (the bundle's own by its path).
Result<void> check_listing(int directory, const std::string& path, const std::string& named,
                           const Listed& listed) {
  Result<support::DirStream> listing = support::listing_from_start(directory);
  if (!listing) return failure(named, listing.error());
  std::string entry_path;
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(listing->get());
    if (entry == nullptr) return errno == 0 ? support::success() : failure(named, errno);
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    entry_path = path.empty() ? entry->d_name : path + "/" + entry->d_name;
    if (listed.count(entry_path) == 0) {
      return invalid("the archive holds " + shown(entry_path) +
                     ", which the manifest does not list");
    }
  }
}

// The manifest's directories, each below the ones before it that hold it:
// paths compared component by component, so that a directory's subtree
// follows it without a break and every move between neighbours is short.
std::vector<const DeltaEntry*> directories_in_tree_order(const DeltaManifest& manifest) {
  std::vector<const DeltaEntry*> directories;
  for (const DeltaEntry& entry : manifest.entries) {
    if (entry.kind == Kind::directory) directories.push_back(&entry);
  }
  auto rank = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c) + 1; };
  std::sort(directories.begin(), directories.end(), [&](const DeltaEntry* a, const DeltaEntry* b) {
    return std::lexicographical_compare(a->path.begin(), a->path.end(), b->path.begin(),
                                        b->path.end(),
                                        [&](char x, char y) { return rank(x) < rank(y); });
  });
  return directories;
}

// Every staged entry lies in the root or in a listed directory, each of
// which is a real directory by now: listing those finds every entry.
Result<void> refuse_unlisted(const Listed& listed,
                             const std::vector<const DeltaEntry*>& directories,
                             DirectoryCursor& staged, const std::string& staged_root) {
  int error = 0;
  Result<void> checked = check_listing(staged.open({}, error), {}, staged_root, listed);
  for (auto entry = directories.begin(); checked && entry != directories.end(); ++entry) {
    int directory = staged.open((*entry)->path, error);
    if (directory < 0) return failure((*entry)->path, error);
    checked = check_listing(directory, (*entry)->path, (*entry)->path, listed);
  }
  return checked;
}

// Last, and each directory as the walk leaves it, after everything below
// it: a directory's own mode may shut out its owner. The walk goes down one
// level at a time and up by "..", checked to be the directory it came from.
class ModeSetter {
 public:
  explicit ModeSetter(int root) : trail_(root) {}

  Result<void> enter(const DeltaEntry& directory) {
    Split where = split(directory.path);
    while (!levels_.empty() && levels_.back()->path != where.parent) {
      Result<void> left = leave();
      if (!left) return left;
    }
    if (levels_.empty() && !where.parent.empty()) {
      return failure(directory.path, "its directory comes after it");
    }
    if (int error = trail_.descend(where.name.c_str())) return failure(directory.path, error);
    levels_.push_back(&directory);
    return support::success();
  }

  Result<void> leave_all() {
    while (!levels_.empty()) {
      Result<void> left = leave();
      if (!left) return left;
    }
    return support::success();
  }

 private:
  // Sets the deepest directory's mode and goes back up to its parent.
  Result<void> leave() {
    const DeltaEntry& entry = *levels_.back();
    UniqueFd left;
    if (int error = trail_.climb(&left)) {
      if (error == ESTALE) return failure(entry.path, "it was moved while the bundle was rebuilt");
      return failure(entry.path, error);
    }
    if (::fchmod(left.get(), static_cast<mode_t>(entry.mode)) != 0) {
      return failure(entry.path, errno);
    }
    levels_.pop_back();
    return support::success();
  }

  support::DirectoryTrail trail_;
  std::vector<const DeltaEntry*> levels_;  // one for each level of the trail
};

Result<void> set_directory_modes(const std::vector<const DeltaEntry*>& directories, int root) {
  ModeSetter walk(root);
  for (const DeltaEntry* directory : directories) {
    Result<void> entered = walk.enter(*directory);
    if (!entered) return entered;
  }
  return walk.leave_all();
}

// Patched files this large are rebuilt by whichever of two threads is free,
// largest first, while the main thread goes on with the other entries:
// decoding their patches is most of a rebuild's time, and a small file's
// whole rebuild costs less than handing it over.
constexpr std::uint64_t kConcurrentPatchSize = 256 * 1024;

// The large patched files, and the outcome of the rebuild so far. Each
// failure is kept by its entry's place in the manifest and the earliest
// wins: no entry's outcome depends on another's, so the failure reported is
// the one a rebuild entry by entry would have met first.
class Rebuild {
 public:
  explicit Rebuild(const DeltaManifest& manifest) : entries_(manifest.entries) {
    for (size_t i = 0; i < entries_.size(); ++i) {
      const DeltaEntry& entry = entries_[i];
      if (entry.source == Source::patched && entry.size >= kConcurrentPatchSize) large_.push_back(i);
    }
    std::stable_sort(large_.begin(), large_.end(),
                     [&](size_t a, size_t b) { return entries_[a].size > entries_[b].size; });
  }

  bool has_large_patches() const { return !large_.empty(); }

  // The entries in the manifest's order, the large patched files aside,
  // until one fails or follows a failure.
  void run_others(Rebuilder& rebuilder) {
    std::vector<bool> large(entries_.size(), false);
    for (size_t i : large_) large[i] = true;
    for (size_t i = 0; i < entries_.size() && !failed_before(i); ++i) {
      if (!large[i]) record(i, rebuild_entry(rebuilder, entries_[i]));
    }
  }

  // Large patched files until none is left that precedes every failure.
  void run_large_patches(Rebuilder& rebuilder) {
    for (std::optional<size_t> i = take(); i; i = take()) {
      record(*i, rebuild_entry(rebuilder, entries_[*i]));
    }
  }

  Result<void> outcome() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
  }

 private:
  static constexpr size_t kNone = std::numeric_limits<size_t>::max();

  std::optional<size_t> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    while (next_ < large_.size()) {
      size_t i = large_[next_++];
      if (i < failed_at_) return i;
    }
    return std::nullopt;
  }

  // Unlocked: it is asked before every entry, and a failure it misses only
  // lets one more entry be rebuilt in vain.
  bool failed_before(size_t i) const { return failed_at_ < i; }

  void record(size_t i, Result<void> rebuilt) {
    if (rebuilt) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (i < failed_at_) {
      failed_at_ = i;
      failure_ = std::move(rebuilt);
    }
  }

  const std::vector<DeltaEntry>& entries_;
  std::vector<size_t> large_;  // largest first
  std::mutex mutex_;
  size_t next_ = 0;                    // of large_, guarded
  std::atomic<size_t> failed_at_{kNone};  // written while guarded
  Result<void> failure_;               // guarded
};

// The second thread of a rebuild, taking large patched files; joined
// whichever way the rebuild ends. Without one (none is needed, or the system
// refuses it) the main thread takes them all.
class PatchThread {
 public:
  PatchThread(Rebuild& rebuild, int installed_root, int staged_root, const Listed& listed) {
    if (!rebuild.has_large_patches()) return;
    try {
      thread_ = std::thread([&rebuild, installed_root, staged_root, &listed] {
        Rebuilder rebuilder(installed_root, staged_root, listed);
        rebuild.run_large_patches(rebuilder);
      });
    } catch (const std::system_error&) {
      // No second thread: the main one takes every large patched file.
    }
  }
  ~PatchThread() {
    if (thread_.joinable()) thread_.join();
  }
  PatchThread(const PatchThread&) = delete;
  PatchThread& operator=(const PatchThread&) = delete;

 private:
  std::thread thread_;
};

}  // namespace

Result<void> rebuild_bundle(const DeltaManifest& manifest, const std::string& installed,
                            const std::string& staged) {
  Result<UniqueFd> installed_root = open_root(installed);
  if (!installed_root) return std::move(installed_root).take_error();
  Result<UniqueFd> staged_root = open_root(staged);
  if (!staged_root) return std::move(staged_root).take_error();
  Listed listed;
  for (const DeltaEntry& entry : manifest.entries) listed.insert(entry.path);
  Rebuilder rebuilder(installed_root->get(), staged_root->get(), listed);
  Rebuild rebuild(manifest);
  {
    PatchThread other(rebuild, installed_root->get(), staged_root->get(), listed);
    rebuild.run_others(rebuilder);
    rebuild.run_large_patches(rebuilder);
  }
  Result<void> rebuilt = rebuild.outcome();
  if (!rebuilt) return rebuilt;
  const std::vector<const DeltaEntry*> directories = directories_in_tree_order(manifest);
  Result<void> complete = refuse_unlisted(listed, directories, rebuilder.staged, staged);
  if (!complete) return complete;
  return set_directory_modes(directories, staged_root->get());
}

}  // namespace installer
