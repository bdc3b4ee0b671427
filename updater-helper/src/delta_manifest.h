// The manifest of a delta update: every entry of the new bundle and where its
// bytes come from.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "digest.h"
#include "result.h"

namespace installer {

// The manifest's file name at the archive's root, beside the bundle.
inline constexpr char kDeltaManifestName[] = "zentrivale-delta-manifest";

// Far beyond any application bundle, yet small enough that the installer's
// memory for a manifest stays bounded: a larger manifest, more entries or a
// larger file are refused before they drive anything.
inline constexpr std::uint64_t kMaxDeltaManifestSize = std::uint64_t{64} << 20;
inline constexpr std::uint64_t kMaxDeltaEntries = 1'000'000;
inline constexpr std::uint64_t kMaxDeltaFileSize = std::uint64_t{1} << 40;

struct DeltaEntry {
  enum class Kind { directory, symlink, file };
  // Where a file's bytes come from: whole in the archive, the installed
  // bundle's file at the same path, or a patch in the archive (stored at the
  // entry's own path) applied to `base_path` of the installed bundle.
  enum class Source { added, kept, patched };

  Kind kind = Kind::file;
  std::string path;         // inside the bundle, "/"-separated, the names' bytes
  std::uint32_t mode = 0;   // permission bits of a directory or file, at most 0777
  std::string link_target;  // symlink: the target's bytes
  // Files:
  std::uint64_t size = 0;
  support::Sha256Digest sha256{};
  Source source = Source::added;
  std::string base_path;                 // patched: the installed file patched
  support::Sha256Digest base_sha256{};   // patched: that file's digest
};

struct DeltaManifest {
  std::string base_version;  // CFBundleVersion of the bundle it applies to
  std::string new_version;   // CFBundleVersion of the bundle it rebuilds
  std::vector<DeltaEntry> entries;  // every entry of the new bundle, parents first
};

// Field by field, the fields a kind does not use included.
bool operator==(const DeltaEntry& a, const DeltaEntry& b);
bool operator==(const DeltaManifest& a, const DeltaManifest& b);

// Parses and checks a manifest: its first line, then its checksum, before
// any entry is read; then the format, and that every path and link stays
// inside the bundle (the rules of bundle_paths.h; no entry below a link or a
// file, no duplicate). Names in errors are escaped (support::printable).
// Error: what is wrong; the caller adds "the delta update's manifest is
// invalid: ".
support::Result<DeltaManifest> parse_delta_manifest(std::string_view bytes);

// The manifest's bytes; parse_delta_manifest reads them back unchanged.
std::string serialize_delta_manifest(const DeltaManifest& manifest);

// `body`, the manifest's lines but its checksum, with its checksum line.
std::string sealed_delta_manifest(std::string body);

}  // namespace installer
