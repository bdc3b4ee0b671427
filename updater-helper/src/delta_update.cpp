#include "delta_update.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "bundle_version.h"
#include "delta_manifest.h"
#include "delta_rebuild.h"
#include "full_io.h"
#include "os_error.h"
#include "path.h"
#include "unique_fd.h"
#include "utf8.h"

namespace installer {
namespace {

constexpr off_t kManifestLimit = static_cast<off_t>(kMaxDeltaManifestSize);

// The manifest's bytes: a regular file at the archive's root, no link.
support::Result<std::string> read_manifest(const std::string& staging) {
  std::string path = support::join(staging, kDeltaManifestName);
  support::UniqueFd fd(support::retry_on_eintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK); }));
  if (!fd.valid() && errno != ENOENT && errno != ELOOP) {
    return support::Error("could not read the delta manifest: " + support::os_error_text(errno));
  }
  struct stat status;
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return support::Error("the archive holds no delta manifest");
  }
  if (status.st_size > kManifestLimit) {
    return support::Error("the delta update's manifest is invalid: it is larger than " +
                          std::to_string(kManifestLimit) + " bytes");
  }
  support::Result<std::string> bytes =
      support::read_at_most(fd.get(), static_cast<size_t>(kManifestLimit) + 1);
  if (!bytes) return support::Error("could not read the delta manifest: " + bytes.error());
  if (bytes->size() > static_cast<size_t>(kManifestLimit)) {
    return support::Error("the delta update's manifest is invalid: it grew while being read");
  }
  return bytes;
}

}  // namespace

support::Result<void> rebuild_from_delta(const std::string& staging, const std::string& candidate,
                                         const std::string& target, Log& log, const Tools& tools) {
  log.line("rebuilding the new application from the installed one...");
  support::Result<std::string> bytes = read_manifest(staging);
  if (!bytes) return std::move(bytes).take_error();
  support::Result<DeltaManifest> manifest = parse_delta_manifest(*bytes);
  if (!manifest) {
    return support::Error("the delta update's manifest is invalid: " + manifest.error());
  }
  support::Result<std::string> installed = read_installed_version(target, tools);
  if (!installed) return std::move(installed).take_error();
  if (*installed != manifest->base_version) {
    return support::Error("this delta update is for version " +
                          support::printable(manifest->base_version) +
                          "; the installed application is version " +
                          support::printable(*installed));
  }
  support::Result<void> rebuilt = rebuild_bundle(*manifest, target, candidate);
  if (!rebuilt) return rebuilt;
  // The files are the manifest's; the version they declare must be too, or
  // the feed's offer and what gets installed would differ.
  support::Result<std::string> version = read_bundle_version(candidate, tools);
  if (!version) return std::move(version).take_error();
  if (*version != manifest->new_version) {
    return support::Error("the rebuilt application is version " + support::printable(*version) +
                          ", not this delta update's version " +
                          support::printable(manifest->new_version));
  }
  return support::success();
}

}  // namespace installer
