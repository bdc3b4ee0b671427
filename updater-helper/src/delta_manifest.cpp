// The manifest's format, one record a line, every name length-prefixed so
// that its bytes are never parsed:
//
//   zentrivale-delta 1
//   base {length}:{base version}
//   new {length}:{new version}
//   entries {count}
//   d {length}:{path} {mode}
//   l {length}:{path} {length}:{target}
//   a {length}:{path} {mode} {size} {sha256}                (added)
//   k {length}:{path} {mode} {size} {sha256}                (kept)
//   p {length}:{path} {mode} {size} {sha256} {length}:{base path} {base sha256}
//   sha256 {digest of every byte before this line}
//
// Numbers are decimal without leading zeros, modes four octal digits,
// digests 64 lower-case hexadecimal digits: one manifest has one spelling.
#include "delta_manifest.h"

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "bundle_paths.h"
#include "bundle_version.h"
#include "platform.h"
#include "utf8.h"

namespace installer {
namespace {

using Kind = DeltaEntry::Kind;
using Source = DeltaEntry::Source;

constexpr std::string_view kMagic = "zentrivale-delta ";
constexpr std::uint64_t kFormatVersion = 1;
constexpr std::string_view kChecksumLabel = "sha256 ";
// Far beyond any application bundle, yet small enough that a forged count
// or size is refused before it drives anything.
constexpr std::uint32_t kMaxMode = 0777;
// The checksum line: the label, 64 digits and a line feed.
constexpr size_t kChecksumLineSize = 7 + 64 + 1;

support::Error invalid(std::string message) { return support::Error(std::move(message)); }

std::string shown(std::string_view path) { return support::printable(path); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_lower_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f'); }

// Reads the manifest front to back. The first fault sticks: later reads do
// nothing and yield empty values, so a record is read whole and checked once.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  size_t position() const { return pos_; }
  bool at_end() const { return pos_ == bytes_.size(); }
  bool failed() const { return error_.has_value(); }
  support::Error error() const { return *error_; }
  // Where the reader is, for messages: "the header", "entry 3"...
  void set_place(std::string place) { place_ = std::move(place); }
  const std::string& place() const { return place_; }

  void fail(std::string message) {
    if (!error_) error_ = invalid(std::move(message));
  }

  // `mismatch` is the message when other bytes stand there.
  void literal(std::string_view expected, const char* mismatch = nullptr) {
    if (failed()) return;
    std::string_view rest = bytes_.substr(pos_, expected.size());
    if (rest == expected) {
      pos_ += expected.size();
    } else if (expected.compare(0, rest.size(), rest) == 0) {
      fail(kTruncated);
    } else {
      fail(mismatch != nullptr ? std::string(mismatch) : place_ + " is malformed");
    }
  }

  char byte() {
    if (failed()) return 0;
    if (at_end()) {
      fail(kTruncated);
      return 0;
    }
    return bytes_[pos_++];
  }

  // A decimal number up to `max`, called `field` in messages.
  std::uint64_t number(const std::string& field, std::uint64_t max) {
    if (failed()) return 0;
    size_t start = pos_;
    std::uint64_t value = 0;
    bool overflow = false;
    while (pos_ < bytes_.size() && is_digit(bytes_[pos_])) {
      unsigned digit = static_cast<unsigned>(bytes_[pos_++] - '0');
      if (value > (UINT64_MAX - digit) / 10) overflow = true;
      value = value * 10 + digit;
    }
    size_t digits = pos_ - start;
    if (at_end()) {
      fail(kTruncated);  // a separator always follows
    } else if (digits == 0 || (digits > 1 && bytes_[start] == '0') || overflow) {
      fail("the " + field + " of " + place_ + " is not a number");
    } else if (value > max) {
      fail("the " + field + " of " + place_ + " is beyond " + std::to_string(max));
    }
    return failed() ? 0 : value;
  }

  // "{length}:{bytes}", as a view into the manifest.
  std::string_view counted(const std::string& field) {
    std::uint64_t length = number(field + " length", UINT64_MAX);
    literal(":");
    if (failed()) return {};
    return fixed(length);
  }

  std::uint32_t mode() {
    std::string_view digits = fixed(4);
    std::uint32_t value = 0;
    for (char c : digits) {
      if (c < '0' || c > '7') {
        fail("the mode of " + place_ + " is not four octal digits");
        return 0;
      }
      value = value * 8 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > kMaxMode) fail("the mode of " + place_ + " is above 0777");
    return value;
  }

  support::Sha256Digest digest(const std::string& field) {
    std::string_view digits = fixed(64);
    if (failed()) return {};
    for (char c : digits) {
      if (!is_lower_hex(c)) {
        fail("the " + field + " of " + place_ + " is not 64 lower-case hexadecimal digits");
        return {};
      }
    }
    return *support::digest_from_hex(digits);
  }

 private:
  static constexpr char kTruncated[] = "it is truncated";

  std::string_view fixed(std::uint64_t size) {
    if (failed()) return {};
    if (bytes_.size() - pos_ < size) {
      fail(kTruncated);
      return {};
    }
    std::string_view text = bytes_.substr(pos_, size);
    pos_ += size;
    return text;
  }

  std::string_view bytes_;
  size_t pos_ = 0;
  std::string place_ = "the header";
  std::optional<support::Error> error_;
};

void check_version(Reader& reader, const std::string& which, std::string_view version) {
  if (reader.failed()) return;
  if (std::optional<std::string> fault = bundle_version_fault(version)) {
    reader.fail("the " + which + " version " + *fault);
  }
}

std::string_view version_line(Reader& reader, const std::string& which) {
  reader.literal(which + " ");
  std::string_view version = reader.counted(which + " version");
  reader.literal("\n");
  check_version(reader, which, version);
  return version;
}

// The first line, which says whether this is a manifest that can be read.
void format_line(Reader& reader) {
  reader.literal(kMagic, "it does not begin with \"zentrivale-delta \"");
  std::uint64_t format = reader.number("format version", UINT64_MAX);
  if (!reader.failed() && format != kFormatVersion) {
    reader.fail("its format version " + std::to_string(format) + " is unknown");
  }
  reader.literal("\n");
}

// The rest of the header; yields the entry count.
std::uint64_t header(Reader& reader, DeltaManifest& manifest) {
  manifest.base_version = std::string(version_line(reader, "base"));
  manifest.new_version = std::string(version_line(reader, "new"));
  reader.literal("entries ");
  std::uint64_t count = reader.number("entry count", kMaxDeltaEntries);
  reader.literal("\n");
  return count;
}

// One record, its names still views into the manifest.
struct Record {
  DeltaEntry entry;
  std::string_view path;
  std::string_view target;
  std::string_view base_path;
};

Record record(Reader& reader) {
  Record r;
  DeltaEntry& e = r.entry;
  switch (reader.byte()) {
    case 'd': e.kind = Kind::directory; break;
    case 'l': e.kind = Kind::symlink; break;
    case 'a': e.source = Source::added; break;
    case 'k': e.source = Source::kept; break;
    case 'p': e.source = Source::patched; break;
    default: reader.fail("the kind of " + reader.place() + " is unknown");
  }
  reader.literal(" ");
  r.path = reader.counted("path");
  reader.literal(" ");
  if (e.kind == Kind::symlink) {
    r.target = reader.counted("target");
  } else {
    e.mode = reader.mode();
  }
  if (e.kind == Kind::file) {
    reader.literal(" ");
    e.size = reader.number("size", kMaxDeltaFileSize);
    reader.literal(" ");
    e.sha256 = reader.digest("digest");
    if (e.source == Source::patched) {
      reader.literal(" ");
      r.base_path = reader.counted("base path");
      reader.literal(" ");
      e.base_sha256 = reader.digest("base digest");
    }
  }
  reader.literal("\n");
  return r;
}

std::string path_subject(std::string_view path, const std::string& place) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return "the path of " + place;
  return "the path " + shown(path);
}

// The checks of meaning: each path inside the bundle, below a directory
// listed before it, listed once; links and bases staying inside.
class EntryChecker {
 public:
  support::Result<void> check(const Record& r, const std::string& place) {
    if (std::optional<std::string> fault = path_fault(r.path)) {
      return invalid(path_subject(r.path, place) + " " + *fault);
    }
    size_t slash = r.path.rfind('/');
    if (slash != std::string_view::npos) {
      auto parent = kinds_.find(r.path.substr(0, slash));
      if (parent == kinds_.end()) {
        return invalid(shown(r.path) + " is not below a directory listed before it");
      }
      if (parent->second == Kind::symlink) return invalid(shown(r.path) + " has a link on the way");
      if (parent->second == Kind::file) return invalid(shown(r.path) + " is below a file");
    }
    if (!kinds_.emplace(r.path, r.entry.kind).second) {
      return invalid(shown(r.path) + " is listed twice");
    }
    if (r.entry.kind == Kind::symlink) {
      if (std::optional<std::string> fault = link_target_fault(r.path, r.target)) {
        return invalid("the link " + shown(r.path) + " " + *fault);
      }
    }
    if (r.entry.kind == Kind::file && r.entry.source == Source::patched) {
      if (std::optional<std::string> fault = path_fault(r.base_path)) {
        return invalid("the base path of " + shown(r.path) + " " + *fault);
      }
    }
    return support::success();
  }

 private:
  std::unordered_map<std::string_view, Kind> kinds_;  // views into the manifest
};

// Where the checksum line begins, once the digest it records is that of
// every byte before it: nothing else is read from a manifest whose bytes the
// checksum does not vouch for. The line is the last one, so it is found
// without reading the entries.
support::Result<size_t> checksummed_size(std::string_view bytes) {
  if (bytes.empty()) return invalid("it is truncated");
  size_t line = bytes.size() < kChecksumLineSize ? 0 : bytes.size() - kChecksumLineSize;
  std::string_view last = bytes.substr(line);
  bool line_start = line == 0 || bytes[line - 1] == '\n';
  if (!line_start || last.back() != '\n' ||
      last.compare(0, kChecksumLabel.size(), kChecksumLabel) != 0) {
    size_t label = bytes.rfind("\n" + std::string(kChecksumLabel));
    if (bytes.back() != '\n') return invalid("it is truncated");
    if (label != std::string_view::npos && bytes.size() - label - 1 > kChecksumLineSize) {
      return invalid("it has bytes after its checksum");
    }
    return invalid("it is truncated");
  }
  std::string_view digits = last.substr(kChecksumLabel.size(), 64);
  if (!std::all_of(digits.begin(), digits.end(), is_lower_hex)) {
    return invalid("the checksum line is malformed");
  }
  support::platform::Sha256 hasher;
  hasher.update(bytes.data(), line);
  if (hasher.finish() != *support::digest_from_hex(digits)) {
    return invalid("its checksum does not match its content");
  }
  return line;
}

void append_counted(std::string& out, std::string_view text) {
  out += std::to_string(text.size());
  out += ':';
  out += text;
}

void append_mode(std::string& out, std::uint32_t mode) {
  for (int shift = 9; shift >= 0; shift -= 3) out += static_cast<char>('0' + ((mode >> shift) & 7));
}

char kind_letter(const DeltaEntry& entry) {
  if (entry.kind == Kind::directory) return 'd';
  if (entry.kind == Kind::symlink) return 'l';
  if (entry.source == Source::kept) return 'k';
  return entry.source == Source::patched ? 'p' : 'a';
}

}  // namespace

bool operator==(const DeltaEntry& a, const DeltaEntry& b) {
  return a.kind == b.kind && a.path == b.path && a.mode == b.mode &&
         a.link_target == b.link_target && a.size == b.size && a.sha256 == b.sha256 &&
         a.source == b.source && a.base_path == b.base_path && a.base_sha256 == b.base_sha256;
}

bool operator==(const DeltaManifest& a, const DeltaManifest& b) {
  return a.base_version == b.base_version && a.new_version == b.new_version &&
         a.entries == b.entries;
}

support::Result<DeltaManifest> parse_delta_manifest(std::string_view bytes) {
  Reader format(bytes);
  format_line(format);
  if (format.failed()) return format.error();
  support::Result<size_t> covered = checksummed_size(bytes);
  if (!covered) return std::move(covered).take_error();

  Reader reader(bytes.substr(0, *covered));
  format_line(reader);
  DeltaManifest manifest;
  std::uint64_t count = header(reader, manifest);
  if (reader.failed()) return reader.error();
  // Every record takes a few bytes: a count beyond what is left is refused
  // when the bytes run out, before it has reserved anything.
  constexpr size_t kShortestRecord = 11;  // "d 1:a 0755\n"
  manifest.entries.reserve(
      std::min<std::uint64_t>(count, (*covered - reader.position()) / kShortestRecord));
  EntryChecker checker;
  for (std::uint64_t i = 1; i <= count; ++i) {
    std::string place = "entry " + std::to_string(i);
    reader.set_place(place);
    Record r = record(reader);
    if (reader.failed()) return reader.error();
    support::Result<void> checked = checker.check(r, place);
    if (!checked) return std::move(checked).take_error();
    r.entry.path = std::string(r.path);
    r.entry.link_target = std::string(r.target);
    r.entry.base_path = std::string(r.base_path);
    manifest.entries.push_back(std::move(r.entry));
  }
  if (!reader.at_end()) {
    reader.set_place("the checksum line");
    reader.fail("it has bytes between its entries and its checksum");
    return reader.error();
  }
  return manifest;
}

std::string serialize_delta_manifest(const DeltaManifest& manifest) {
  std::string out(kMagic);
  out += std::to_string(kFormatVersion) + "\nbase ";
  append_counted(out, manifest.base_version);
  out += "\nnew ";
  append_counted(out, manifest.new_version);
  out += "\nentries " + std::to_string(manifest.entries.size()) + "\n";
  for (const DeltaEntry& entry : manifest.entries) {
    out += kind_letter(entry);
    out += ' ';
    append_counted(out, entry.path);
    out += ' ';
    if (entry.kind == Kind::symlink) {
      append_counted(out, entry.link_target);
    } else {
      append_mode(out, entry.mode);
    }
    if (entry.kind == Kind::file) {
      out += ' ' + std::to_string(entry.size) + ' ' + support::to_hex(entry.sha256);
      if (entry.source == Source::patched) {
        out += ' ';
        append_counted(out, entry.base_path);
        out += ' ' + support::to_hex(entry.base_sha256);
      }
    }
    out += '\n';
  }
  return sealed_delta_manifest(std::move(out));
}

std::string sealed_delta_manifest(std::string body) {
  support::platform::Sha256 hasher;
  hasher.update(body.data(), body.size());
  return body + std::string(kChecksumLabel) + support::to_hex(hasher.finish()) + "\n";
}

}  // namespace installer
