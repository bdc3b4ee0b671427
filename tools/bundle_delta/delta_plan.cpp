#include "delta_plan.h"

#include <fcntl.h>

#include <algorithm>
#include <map>
#include <optional>

#include "open_beneath.h"
#include "budgeted_jobs.h"
#include "deflated_size.h"
#include "digest.h"
#include "full_io.h"
#include "patch_maker.h"
#include "xz_encoding.h"
#include "path.h"

namespace delta {
namespace {

using installer::DeltaEntry;
using support::Result;
using support::Sha256Digest;

// The old bundle's regular files: by path, and by digest and by name for a
// file the new bundle has moved.
class OldFiles {
 public:
  static Result<OldFiles> index(const BundleTree& tree) {
    OldFiles files;
    for (const TreeEntry& entry : tree.entries) {
      if (entry.kind != TreeEntry::Kind::file) continue;
      Result<Sha256Digest> digest = tree_file_digest(tree, entry.path);
      if (!digest) return std::move(digest).take_error();
      files.by_path_[entry.path] = {&entry, *digest};
      files.by_digest_.emplace(*digest, entry.path);
      files.by_name_.emplace(support::file_name(entry.path).value_or(""), entry.path);
    }
    return files;
  }

  struct File {
    const TreeEntry* entry = nullptr;
    Sha256Digest digest{};
  };

  const File* at(const std::string& path) const {
    auto found = by_path_.find(path);
    return found == by_path_.end() ? nullptr : &found->second;
  }

  // Where a file that is not at its old path may have come from: the same
  // bytes anywhere, else the file of the same name closest in size.
  std::optional<std::string> origin_of(const TreeEntry& file, const Sha256Digest& digest) const {
    auto same_bytes = by_digest_.find(digest);
    if (same_bytes != by_digest_.end()) return same_bytes->second;
    std::optional<std::string> best;
    std::uint64_t best_distance = 0;
    auto [first, last] = by_name_.equal_range(support::file_name(file.path).value_or(""));
    for (auto it = first; it != last; ++it) {
      const std::uint64_t size = by_path_.at(it->second).entry->size;
      const std::uint64_t distance = size > file.size ? size - file.size : file.size - size;
      if (!best || distance < best_distance) best = it->second, best_distance = distance;
    }
    return best;
  }

 private:
  std::map<std::string, File> by_path_;
  std::multimap<Sha256Digest, std::string> by_digest_;
  std::multimap<std::string, std::string> by_name_;
};

DeltaEntry entry_of(const TreeEntry& entry) {
  DeltaEntry out;
  out.path = entry.path;
  switch (entry.kind) {
    case TreeEntry::Kind::directory:
      out.kind = DeltaEntry::Kind::directory;
      out.mode = entry.mode;
      break;
    case TreeEntry::Kind::symlink:
      out.kind = DeltaEntry::Kind::symlink;
      out.link_target = entry.link_target;
      break;
    case TreeEntry::Kind::file:
    case TreeEntry::Kind::other:  // refused before planning
      out.kind = DeltaEntry::Kind::file;
      out.mode = entry.mode;
      out.size = entry.size;
      break;
  }
  return out;
}

Result<void> write_patch(int directory, const std::string& name, const std::string& patch) {
  Result<support::UniqueFd> fd =
      open_beneath(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, 0600);
  Result<void> written = fd ? support::write_all(fd->get(), patch) : std::move(fd).take_error();
  if (!written) return support::Error("cannot write a patch: " + written.error());
  return support::success();
}

// The patch of the new file at `path` against the old file at `base`. The
// old file is indexed before the new one is read: the two are in memory
// together only once the index is made, and both files and the index are
// freed before the patch is compressed.
Result<std::string> make_file_patch(const BundleTree& old_tree, const std::string& base,
                                    const BundleTree& new_tree, const std::string& path) {
  UncompressedPatch streams;
  {
    Result<FileBytes> old_bytes = read_tree_file(old_tree, base);
    if (!old_bytes) return std::move(old_bytes).take_error();
    PatchBase patch_base(old_bytes->view());
    Result<FileBytes> bytes = read_tree_file(new_tree, path);
    if (!bytes) return std::move(bytes).take_error();
    streams = std::move(patch_base).streams_to(bytes->view());
  }
  return compress_patch(streams);
}

// Patches the new file against the old file at `base` when that pays;
// records the choice in `manifest_entry` and `stored`, the plan's file
// `place`, after which its patch is named.
Result<void> plan_file(const BundleTree& old_tree, const OldFiles& old_files,
                       const BundleTree& new_tree, const std::optional<std::string>& base,
                       int patch_directory, DeltaEntry& manifest_entry, StoredFile& stored,
                       std::size_t place) {
  const std::string& path = manifest_entry.path;
  if (!base) {
    Result<std::uint64_t> deflated = deflated_file_size(new_tree, path, kBestLevel);
    if (!deflated) return std::move(deflated).take_error();
    stored.deflated_size = *deflated;
    return support::success();
  }
  Result<std::string> patch = make_file_patch(old_tree, *base, new_tree, path);
  if (!patch) return std::move(patch).take_error();
  // The patch is stored as it is, compressed already.
  const std::uint64_t patch_size = patch->size();
  // The file is deflated only as far as it takes to lose to its patch, and
  // at the default level: the best one takes five times as long to say so.
  Result<std::uint64_t> file_size = deflated_file_size(new_tree, path, kDefaultLevel, patch_size);
  if (!file_size) return std::move(file_size).take_error();
  if (patch_size < *file_size) {
    stored.source = manifest_entry.source = DeltaEntry::Source::patched;
    stored.base_path = manifest_entry.base_path = *base;
    stored.patch_name = std::to_string(place);
    stored.patch_size = patch_size;
    stored.deflated_size = patch_size;
    manifest_entry.base_sha256 = old_files.at(*base)->digest;
    Result<void> written = write_patch(patch_directory, stored.patch_name, *patch);
    if (!written) return written;
  } else {
    Result<std::uint64_t> deflated = deflated_file_size(new_tree, path, kBestLevel);
    if (!deflated) return std::move(deflated).take_error();
    stored.deflated_size = *deflated;
  }
  return support::success();
}

// A file of the new bundle the archive stores, to be planned on its own.
struct FileJob {
  std::size_t entry;   // its place in the manifest's entries
  std::size_t stored;  // and in the plan's stored files
  std::optional<std::string> base;
  std::uint64_t memory;  // what planning it holds at most, roughly
};

// What planning a file holds at its peak: to patch it, the old file, its
// index (four bytes a byte while it sorts) and the new file while they are
// aligned, or the patch's streams (no larger than the new file) and two
// encoders while they are compressed; to add it, a deflate's buffers.
std::uint64_t memory_of(std::uint64_t old_size, std::uint64_t new_size, bool patched) {
  if (!patched) return std::uint64_t{1} << 20;
  const std::uint64_t aligning = 5 * old_size + new_size;
  const std::uint64_t compressing = new_size + 2 * xz_encoder_memory(new_size);
  return std::max(aligning, compressing);
}

// Files are planned on two threads, as many at once as this memory allows.
// Compressing a patch at LZMA's strongest setting takes most of the time and
// one thread, so two large files have to run at once for the tool to take
// bsdiff's time; two of a few megabytes fit (measured on real releases of
// 5 MiB files: a peak of 43 MiB, against 36 MiB one at a time, and 2.9 s
// against 5.4 s, where bsdiff took 3.7 s), larger ones run alone.
constexpr std::uint64_t kMemoryBudget = std::uint64_t{96} << 20;
constexpr unsigned kThreads = 2;

}  // namespace

Result<DeltaPlan> plan_delta(const BundleTree& old_tree, const BundleTree& new_tree,
                             const std::string& old_version, const std::string& new_version,
                             int patch_directory) {
  Result<OldFiles> old_files = OldFiles::index(old_tree);
  if (!old_files) return std::move(old_files).take_error();

  DeltaPlan plan;
  plan.manifest.base_version = old_version;
  plan.manifest.new_version = new_version;
  // Files are read whole, patched and deflated only once every entry is
  // listed, in jobs that may run side by side; an unreadable file stops the
  // listing, and its error counts after those of the files before it.
  std::vector<FileJob> jobs;
  Result<void> listed = support::success();
  for (const TreeEntry& entry : new_tree.entries) {
    DeltaEntry manifest_entry = entry_of(entry);
    if (entry.kind == TreeEntry::Kind::file) {
      // A file is read whole only when it changed; the self-check catches
      // one that changes meanwhile.
      Result<Sha256Digest> digest = tree_file_digest(new_tree, entry.path);
      if (!digest) {
        listed = std::move(digest).take_error();
        break;
      }
      manifest_entry.sha256 = *digest;

      const OldFiles::File* same_path = old_files->at(entry.path);
      if (same_path && same_path->digest == manifest_entry.sha256) {
        manifest_entry.source = DeltaEntry::Source::kept;
        ++plan.kept;
      } else {
        std::optional<std::string> base =
            same_path ? entry.path : old_files->origin_of(entry, manifest_entry.sha256);
        const std::uint64_t old_size = base ? old_files->at(*base)->entry->size : 0;
        jobs.push_back({plan.manifest.entries.size(), plan.stored.size(), base,
                        memory_of(old_size, entry.size, base.has_value())});
        plan.stored.push_back({entry.path, DeltaEntry::Source::added, entry.size, {}, {}, 0, 0});
      }
    }
    plan.manifest.entries.push_back(std::move(manifest_entry));
  }

  std::vector<Result<void>> planned(jobs.size());
  std::vector<std::uint64_t> memory;
  for (const FileJob& job : jobs) memory.push_back(job.memory);
  run_within_budget(memory, kMemoryBudget, kThreads, [&](std::size_t i) {
    const FileJob& job = jobs[i];
    planned[i] = plan_file(old_tree, *old_files, new_tree, job.base, patch_directory,
                           plan.manifest.entries[job.entry], plan.stored[job.stored], job.stored);
  });
  for (Result<void>& file : planned) {
    if (!file) return std::move(file).take_error();
  }
  if (!listed) return std::move(listed).take_error();
  return plan;
}

}  // namespace delta
