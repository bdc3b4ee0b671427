#include "bundle_seal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

#include "digest.h"
#include "file_reading.h"
#include "fs.h"
#include "full_io.h"
#include "os_error.h"
#include "path.h"
#include "tree_walk.h"
#include "unique_fd.h"

namespace stand_in {
namespace {

using Manifest = std::map<std::string, std::string>;  // escaped path -> description

constexpr const char* kSealHeader = "stand-in code seal 1";
// Prefix of the optional team line after the header. No entry line can start
// with it: an entry's path has its blanks escaped and ends at a tab.
constexpr std::string_view kTeamPrefix = "team ";

struct Seal {
  std::optional<std::string> team;
  Manifest manifest;
};

// Paths and link targets as one field: bytes that would break a line or a
// field, and '%' itself, become %XX.
std::string escape(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b == 0x7F || b == '%') {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

support::Error entry_error(const std::string& path, int error) {
  return support::Error(path + ": " + support::os_error_text(error));
}

support::Result<std::string> describe_file(int dir_fd, const char* name, const std::string& path,
                                           mode_t mode) {
  support::UniqueFd fd(support::retry_on_eintr(
      [&] { return ::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC); }));
  if (!fd.valid()) return entry_error(path, errno);
  support::Result<support::Sha256Digest> digest = support::sha256_of_descriptor(fd.get());
  if (!digest) return support::Error(path + ": " + digest.error());
  char execute_bits[8];
  std::snprintf(execute_bits, sizeof execute_bits, "%03o", static_cast<unsigned>(mode & 0111));
  return "file x=" + std::string(execute_bits) + " sha256=" + support::to_hex(*digest);
}

support::Result<std::string> describe_link(int dir_fd, const char* name, const std::string& path) {
  std::string target(4096, '\0');
  ssize_t n = ::readlinkat(dir_fd, name, target.data(), target.size());
  if (n < 0) return entry_error(path, errno);
  target.resize(static_cast<size_t>(n));
  return "link " + escape(target);
}

support::Result<Manifest> current_manifest(const std::string& bundle) {
  support::UniqueFd root(support::retry_on_eintr(
      [&] { return ::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!root.valid()) return entry_error(bundle, errno);
  Manifest manifest;
  support::TreeVisitor visitor;
  visitor.visit = [&](const support::WalkEntry& entry) -> support::Result<bool> {
    if (entry.path == kSealPath) return false;
    const std::string full = support::join(bundle, entry.path);
    const char* name = entry.name.c_str();
    support::Result<std::string> description = std::string("other");
    if (S_ISREG(entry.status.st_mode)) {
      description = describe_file(entry.directory_fd, name, full, entry.status.st_mode);
    } else if (S_ISLNK(entry.status.st_mode)) {
      description = describe_link(entry.directory_fd, name, full);
    } else if (S_ISDIR(entry.status.st_mode)) {
      description = std::string("directory");
    }
    if (!description) return std::move(description).take_error();
    manifest[escape(entry.path)] = std::move(description.value());
    return true;
  };
  visitor.failed = [&](const support::WalkFailure& failure) -> support::Result<void> {
    return entry_error(failure.path.empty() ? bundle : support::join(bundle, failure.path),
                       failure.error);
  };
  if (auto walked = support::walk_tree(root.get(), visitor); !walked) {
    return std::move(walked).take_error();
  }
  return manifest;
}

std::string render(const Manifest& manifest) {
  std::string text;
  for (const auto& [path, description] : manifest) text += path + "\t" + description + "\n";
  return text;
}

// Nothing when the text is not a seal this stand-in wrote.
std::optional<Seal> parse_seal(std::string_view text) {
  std::string header = std::string(kSealHeader) + "\n";
  if (text.substr(0, header.size()) != header) return std::nullopt;
  text.remove_prefix(header.size());
  Seal seal;
  if (text.substr(0, kTeamPrefix.size()) == kTeamPrefix) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    seal.team = std::string(text.substr(kTeamPrefix.size(), end - kTeamPrefix.size()));
    text.remove_prefix(end + 1);
  }
  Manifest& manifest = seal.manifest;
  while (!text.empty()) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view line = text.substr(0, end);
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return std::nullopt;
    manifest[std::string(line.substr(0, tab))] = std::string(line.substr(tab + 1));
    text.remove_prefix(end + 1);
  }
  return seal;
}

std::vector<std::string> differences(const std::string& bundle, const Manifest& sealed,
                                     const Manifest& current) {
  std::vector<std::string> problems;
  for (const auto& [path, description] : current) {
    auto it = sealed.find(path);
    if (it == sealed.end()) {
      problems.push_back("file added: " + support::join(bundle, path));
    } else if (it->second != description) {
      problems.push_back("file modified: " + support::join(bundle, path));
    }
  }
  for (const auto& [path, description] : sealed) {
    if (!current.count(path)) problems.push_back("file missing: " + support::join(bundle, path));
  }
  return problems;
}

}  // namespace

support::Result<std::string> describe_bundle(const std::string& bundle) {
  auto manifest = current_manifest(bundle);
  if (!manifest) return std::move(manifest).take_error();
  return render(*manifest);
}

support::Result<void> seal_bundle(const std::string& bundle,
                                  const std::optional<std::string>& team) {
  std::string seal = support::join(bundle, kSealPath);
  // The seal's directory is part of what is sealed, so it exists first.
  if (auto made = support::create_dir_all(*support::parent(seal)); !made) {
    return support::Error(support::join(bundle, "Contents/_CodeSignature") + ": " + made.error());
  }
  auto description = describe_bundle(bundle);
  if (!description) return std::move(description).take_error();
  support::UniqueFd fd(support::retry_on_eintr([&] {
    return ::open(seal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  }));
  if (!fd.valid()) return entry_error(seal, errno);
  std::string team_line = team ? std::string(kTeamPrefix) + *team + "\n" : "";
  auto written = support::write_all(fd.get(), std::string(kSealHeader) + "\n" + team_line + *description);
  if (!written) return support::Error(seal + ": " + written.error());
  return support::success();
}

support::Result<SealVerdict> check_seal(const std::string& bundle) {
  auto current = current_manifest(bundle);
  if (!current) return std::move(current).take_error();
  std::string seal = support::join(bundle, kSealPath);
  struct stat st;
  if (::lstat(seal.c_str(), &st) != 0) {
    int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      return SealVerdict{SealVerdict::not_sealed, {}, std::nullopt};
    }
    return entry_error(seal, error);
  }
  if (!S_ISREG(st.st_mode)) {
    return SealVerdict{SealVerdict::broken, {"the seal is damaged"}, std::nullopt};
  }
  auto text = read_file(seal, O_NOFOLLOW);
  if (!text) return support::Error(seal + ": " + text.error());
  std::optional<Seal> sealed = parse_seal(*text);
  if (!sealed) return SealVerdict{SealVerdict::broken, {"the seal is damaged"}, std::nullopt};
  std::vector<std::string> problems = differences(bundle, sealed->manifest, *current);
  if (problems.empty()) return SealVerdict{SealVerdict::valid, {}, std::move(sealed->team)};
  return SealVerdict{SealVerdict::broken, std::move(problems), std::move(sealed->team)};
}

}  // namespace stand_in
