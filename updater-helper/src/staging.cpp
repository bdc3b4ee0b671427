#include "staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "child_process.h"
#include "fs.h"
#include "os_error.h"
#include "path.h"
#include "tree_removal.h"
#include "utf8.h"

namespace installer {
namespace {

support::Result<void> clear_staging(const std::string& staging) {
  // A plain file in the way is ENOTDIR and stays.
  if (!support::exists(staging)) return support::success();
  support::Result<void> removed = remove_tree(staging);
  if (!removed) return support::Error("could not clear staging: " + removed.error());
  return support::success();
}

support::Result<void> create_staging(const std::string& staging,
                                     const std::string& install_directory) {
  support::Result<void> created = support::create_dir_all(staging);
  if (created) return created;
  return support::Error("could not create staging directory " + support::lossy_utf8(staging) +
                        " (is " + support::lossy_utf8(install_directory) +
                        " writable?): " + created.error());
}

support::Error archive_error(const std::string& cause) {
  return support::Error("could not read the update archive: " + cause);
}

// The archive, opened without waiting: a FIFO put in its place since the
// first look would block a plain open for ever, and a device such as
// /dev/zero would be read for ever, all the while holding the install
// directory's lock. Reads from the file itself may then wait as usual.
support::Result<support::UniqueFd> open_archive(const std::string& archive) {
  support::UniqueFd fd(support::retry_on_eintr(
      [&] { return ::open(archive.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); }));
  if (!fd.valid()) return archive_error(support::os_error_text(errno));
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) return archive_error(support::os_error_text(errno));
  if (!S_ISREG(status.st_mode)) return archive_error("it is not a regular file");
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return archive_error(support::os_error_text(errno));
  }
  return fd;
}

// The opened archive, hashed; rewound for ditto to read.
support::Result<void> check_archive_digest(const support::UniqueFd& fd,
                                           const support::Sha256Digest& expected) {
  support::Result<support::Sha256Digest> digest = support::sha256_of_descriptor(fd.get());
  if (!digest || ::lseek(fd.get(), 0, SEEK_SET) != 0) {
    return archive_error(digest ? support::os_error_text(errno) : digest.error());
  }
  if (*digest != expected) {
    return support::Error("the update archive does not match its SHA-256 digest");
  }
  return support::success();
}

// ditto shares the installer's streams: what it prints is not logged. With
// a checked archive it reads it from standard input ("-").
support::Result<int> run_ditto(const Tools& tools, const std::string& archive,
                               const support::UniqueFd& checked_archive,
                               const std::string& staging) {
  support::SpawnRequest request;
  request.program = tools.ditto;
  request.argv = {tools.ditto, "-x", "-k", checked_archive.valid() ? std::string("-") : archive,
                  staging};
  if (checked_archive.valid()) request.stdin_stream = support::Stream::from(checked_archive.get());
  support::Result<support::Child> child = support::Child::spawn(request);
  if (!child) return std::move(child).take_error();
  return child->wait();
}

}  // namespace

std::string staging_path(const std::string& install_directory) {
  return support::join(install_directory, kStagingPrefix + std::to_string(::getpid()));
}

support::Result<std::string> prepare_and_extract(
    const std::string& install_directory, const std::string& archive, Log& log,
    const Tools& tools, const std::optional<support::Sha256Digest>& archive_sha256) {
  remove_stale_entries_except(install_directory, kStagingPrefix, std::nullopt, log);
  support::Result<support::UniqueFd> opened = open_archive(archive);
  if (!opened) return std::move(opened).take_error();
  // Without a digest ditto opens the archive by its path, as it always has;
  // with one it reads the very descriptor that was hashed.
  support::UniqueFd checked_archive;
  if (archive_sha256) {
    if (support::Result<void> matched = check_archive_digest(opened.value(), *archive_sha256);
        !matched) {
      return std::move(matched).take_error();
    }
    checked_archive = std::move(opened.value());
  }
  std::string staging = staging_path(install_directory);
  if (support::Result<void> cleared = clear_staging(staging); !cleared) {
    return std::move(cleared).take_error();
  }
  if (support::Result<void> created = create_staging(staging, install_directory); !created) {
    return std::move(created).take_error();
  }

  log.line("extracting the update archive...");
  support::Result<int> status = run_ditto(tools, archive, checked_archive, staging);
  // Not started: the staging directory stays for the next run to remove.
  if (!status) return support::Error("could not run ditto: " + status.error());
  if (status.value() != 0) {
    clean_up_staging(staging, log);
    return support::Error("could not extract the update archive (corrupt ZIP?)");
  }
  return staging;
}

void clean_up_staging(const std::string& staging, Log& log) {
  if (!remove_tree(staging)) {
    log.line("could not remove staging directory " + support::lossy_utf8(staging));
  }
}

}  // namespace installer
