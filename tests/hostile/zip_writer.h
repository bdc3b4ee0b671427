// Builds ZIP archives entry by entry with libzip, names exactly as asked: they
// are not cleaned, so the archive can hold what an attacker would put in one
// ("../" and absolute names, links, set-id bits, devices, 100,000 entries,
// names of thousands of bytes). Entries are stored uncompressed, so that a
// test can find and damage a file's bytes; past 65,535 entries libzip writes
// the Zip64 end records.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hostile {

class ZipWriter {
 public:
  // `mode` is the Unix st_mode (type and permission bits) recorded for the
  // entry; `system` is the "made by" host (3 Unix, 0 MS-DOS).
  void entry(const std::string& name, const std::string& content, uint32_t mode,
             uint8_t system = 3);
  void file(const std::string& name, const std::string& content, uint32_t permissions = 0644);
  void directory(const std::string& name);  // a "/" is added to the name
  void symlink(const std::string& name, const std::string& target);
  // Every entry under `directory` on disk, named `prefix` followed by its
  // path relative to `directory`; links are stored as links. `mode_for`, if
  // given, may record another mode for a file (0 keeps the file's own).
  // False when the tree cannot be read.
  using ModeFor = std::function<uint32_t(const std::string& name)>;
  bool tree(const std::string& directory, const std::string& prefix,
            const ModeFor& mode_for = {});

  size_t entries() const { return entries_.size(); }
  // The whole archive; empty, with the reason on standard error, when libzip
  // refuses an entry.
  std::string bytes() const;
  bool write(const std::string& path) const;

 private:
  struct Entry {
    std::string name;
    std::string content;
    uint32_t mode;
    uint8_t system;
  };
  std::vector<Entry> entries_;
};

}  // namespace hostile
