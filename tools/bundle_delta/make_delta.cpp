#include "make_delta.h"

#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>
#include <future>

#include "archive_contents.h"
#include "open_beneath.h"
#include "bundle_tree.h"
#include "delta_check.h"
#include "delta_plan.h"
#include "delta_report.h"
#include "zip_writing.h"
#include "os_error.h"
#include "path.h"
#include "utf8.h"
#include "scratch_directory.h"

namespace delta {
namespace {

using support::Error;
using support::Result;

struct Bundles {
  BundleTree old_tree;
  BundleTree new_tree;
  std::string name;  // the installed bundle's, which the archive's root holds
};

Result<Bundles> read_bundles(const ToolArguments& arguments) {
  std::optional<std::string> old_name = support::file_name(arguments.from);
  std::optional<std::string> new_name = support::file_name(arguments.to);
  if (!new_name) return Error("the new bundle has no name: " + support::printable(arguments.to));
  if (old_name != new_name) {
    return Error("the bundles' names differ: " + support::printable(old_name.value_or(arguments.from)) +
                 " and " + support::printable(*new_name));
  }
  Result<BundleTree> old_tree = walk_bundle(arguments.from);
  if (!old_tree) return std::move(old_tree).take_error();
  Result<BundleTree> new_tree = walk_bundle(arguments.to);
  if (!new_tree) return std::move(new_tree).take_error();
  Result<void> shippable = check_shippable(*new_tree);
  if (!shippable) return std::move(shippable).take_error();
  return Bundles{std::move(*old_tree), std::move(*new_tree), *new_name};
}

Result<std::uint64_t> file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    return Error("cannot read " + support::printable(path) + ": " + support::os_error_text(errno));
  }
  if (!S_ISREG(st.st_mode)) return Error("cannot read " + support::printable(path) + ": not a file");
  return static_cast<std::uint64_t>(st.st_size);
}

Result<std::uint64_t> written_size(const std::string& path, const std::vector<ZipItem>& items) {
  Result<void> written = write_zip(path, items);
  if (!written) return std::move(written).take_error();
  return file_size(path);
}

Result<support::UniqueFd> make_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0) {
    return Error("cannot create " + support::printable(path) + ": " + support::os_error_text(errno));
  }
  Result<support::UniqueFd> fd = open_directory(path);
  if (!fd) return Error("cannot open " + support::printable(path) + ": " + fd.error());
  return fd;
}

}  // namespace

Result<std::string> make_delta(const ToolArguments& arguments) {
  Result<Bundles> bundles = read_bundles(arguments);
  if (!bundles) return std::move(bundles).take_error();
  const BundleTree& old_tree = bundles->old_tree;
  const BundleTree& new_tree = bundles->new_tree;
  Result<std::string> old_version = bundle_version(old_tree);
  if (!old_version) return std::move(old_version).take_error();
  Result<std::string> new_version = bundle_version(new_tree);
  if (!new_version) return std::move(new_version).take_error();

  Result<ScratchDirectory> scratch = ScratchDirectory::beside(arguments.output);
  if (!scratch) return std::move(scratch).take_error();
  Result<support::UniqueFd> patches = make_directory(*scratch / "patches");
  if (!patches) return std::move(patches).take_error();

  // What a full archive takes is only reported: the release's own when it is
  // given, else counted on a second thread while the delta is made (or,
  // without one, when asked for).
  std::future<Result<std::uint64_t>> counted_full_size;
  if (arguments.full_archive.empty()) {
    counted_full_size = std::async(std::launch::async | std::launch::deferred,
                                   [&] { return full_archive_size(new_tree, bundles->name); });
  }

  Result<DeltaPlan> plan =
      plan_delta(old_tree, new_tree, *old_version, *new_version, patches->get());
  if (!plan) return std::move(plan).take_error();
  const std::string manifest = installer::serialize_delta_manifest(plan->manifest);
  if (manifest.size() > installer::kMaxDeltaManifestSize) {
    return Error("refusing " + support::printable(arguments.to) + ": its manifest takes " +
                 std::to_string(manifest.size()) + " bytes, more than the installer reads (" +
                 std::to_string(installer::kMaxDeltaManifestSize) + ")");
  }

  const std::string delta_path = *scratch / "delta.zip";
  Result<std::uint64_t> delta_size = written_size(
      delta_path, delta_archive(*plan, new_tree, bundles->name, manifest, patches->get()));
  if (!delta_size) return std::move(delta_size).take_error();

  const std::string work = *scratch / "check";
  Result<support::UniqueFd> work_directory = make_directory(work);
  if (!work_directory) return std::move(work_directory).take_error();
  Result<void> checked = check_delta(delta_path, work, arguments.from, new_tree, bundles->name);
  if (!checked) return std::move(checked).take_error();

  Result<std::uint64_t> full =
      counted_full_size.valid() ? counted_full_size.get() : file_size(arguments.full_archive);
  if (!full) return std::move(full).take_error();

  if (::rename(delta_path.c_str(), arguments.output.c_str()) != 0) {
    return Error("cannot write " + support::printable(arguments.output) + ": " +
                 support::os_error_text(errno));
  }
  return delta_report(*plan, *delta_size, *full);
}

}  // namespace delta
