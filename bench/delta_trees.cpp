// Two releases of a bundle shaped like Zentrivale.app, for the delta update's
// benchmarks.
//
//   delta_trees OLD_APP NEW_APP CHANGE LIBRARIES
//
// OLD_APP: Contents/Info.plist (CFBundleVersion 1.0), Contents/MacOS with the
// launcher, backend and frontend (copies of real programs of /usr/bin),
// Contents/PlugIns/media with LIBRARIES real shared libraries, and
// Contents/Resources with fonts (/usr/share/fonts, or generated) and
// generated assets. NEW_APP: the same at version 1.1, changed by CHANGE:
//   rebuild    every executable and library changed the way a rebuild and a
//              new signature change them (a few scattered byte edits, a few
//              bytes inserted in the middle, the last 8 KiB new); resources
//              unchanged
//   resources  binaries unchanged; a few assets rewritten and one added
// Every choice comes from fixed seeds, so that runs compare.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_trees.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kBundleId = "com.zentrivale.bench";
constexpr std::size_t kSignatureBytes = 8 * 1024;
constexpr int kAssets = 200;
constexpr int kChangedAssets = 5;
constexpr std::size_t kFonts = 20;

// The first failure, which ends the run; every step after it does nothing.
std::string failure;

bool fail(const std::string& text) {
  if (failure.empty()) failure = text;
  return false;
}

std::string read_file(const fs::path& path) {
  std::string bytes;
  std::FILE* file = std::fopen(path.c_str(), "rbe");
  if (!file) {
    fail("open " + path.string() + ": " + std::strerror(errno));
    return bytes;
  }
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
  if (std::ferror(file)) fail("read " + path.string());
  std::fclose(file);
  return bytes;
}

bool write_file(const fs::path& path, const std::string& bytes, mode_t mode) {
  if (!failure.empty()) return false;
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  if (error) return fail("mkdir " + path.parent_path().string() + ": " + error.message());
  std::FILE* file = std::fopen(path.c_str(), "wbe");
  if (!file) return fail("create " + path.string() + ": " + std::strerror(errno));
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !written) return fail("write " + path.string());
  if (::chmod(path.c_str(), mode) != 0) return fail("chmod " + path.string());
  return true;
}

bool is_elf(const fs::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "rbe");
  if (!file) return false;
  char magic[4] = {};
  bool elf = std::fread(magic, 1, 4, file) == 4 && std::memcmp(magic, "\x7f" "ELF", 4) == 0;
  std::fclose(file);
  return elf;
}

// Regular ELF files (not symbolic links) of `directory` whose name starts
// with `prefix` and whose size lies in [low, high], sorted by name.
std::vector<fs::path> binaries(const fs::path& directory, const std::string& prefix,
                               std::uintmax_t low, std::uintmax_t high, std::size_t count) {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    std::error_code ignored;
    if (name.compare(0, prefix.size(), prefix) != 0 || !it->is_regular_file(ignored) ||
        it->is_symlink(ignored)) {
      continue;
    }
    std::uintmax_t size = it->file_size(ignored);
    if (!ignored && size >= low && size <= high && is_elf(it->path())) {
      found.push_back(it->path());
    }
  }
  std::sort(found.begin(), found.end());
  if (found.size() < count) {
    fail("fewer than " + std::to_string(count) + " fitting files in " + directory.string());
    return {};
  }
  found.resize(count);
  return found;
}

std::vector<fs::path> fonts() {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::recursive_directory_iterator it("/usr/share/fonts", error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file(error) && !it->is_symlink(error)) found.push_back(it->path());
  }
  std::sort(found.begin(), found.end());
  if (found.size() > kFonts) found.resize(kFonts);
  return found;
}

std::string random_bytes(std::mt19937& random, std::size_t count) {
  std::string bytes(count, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xff);
  return bytes;
}

// Text-like bytes that deflate about as well as an application's assets.
std::string asset_bytes(std::mt19937& random, std::size_t count) {
  static const char* const kWords[] = {"frame", "layer", "color", "shadow", "offset", "0.25",
                                       "width", "height", "{", "}", "\"name\":", "1280",
                                       "gradient", "opacity", "stroke", "path", "M12,4",
                                       "L18,20", "#3a7bd5", "transform"};
  std::string bytes;
  while (bytes.size() < count) {
    bytes += kWords[random() % (sizeof kWords / sizeof kWords[0])];
    bytes += random() % 8 == 0 ? '\n' : ' ';
    if (random() % 16 == 0) bytes += std::to_string(random() % 100000);
  }
  bytes.resize(count);
  return bytes;
}

// What a rebuild and a new signature do to a binary.
std::string rebuilt(std::string bytes, std::mt19937& random) {
  if (bytes.size() < 64) return bytes;
  const std::size_t tail = std::min(kSignatureBytes, bytes.size() / 4);
  const std::size_t body = bytes.size() - tail;
  const int edits = 5 + static_cast<int>(random() % 6);
  for (int i = 0; i < edits; ++i) {
    std::size_t at = random() % body;
    std::size_t length = std::min<std::size_t>(1 + random() % 4, body - at);
    bytes.replace(at, length, random_bytes(random, length));
  }
  bytes.insert(body / 2, random_bytes(random, 1 + random() % 16));
  bytes.resize(bytes.size() - tail);
  return bytes + random_bytes(random, tail);
}

std::string info_plist(const std::string& version) { return bench::info_plist(kBundleId, version); }

void make_releases(const fs::path& old_app, const fs::path& new_app, bool rebuild,
                   std::size_t libraries) {
  const fs::path old_contents = old_app / "Contents", new_contents = new_app / "Contents";
  write_file(old_contents / "Info.plist", info_plist("1.0"), 0644);
  write_file(new_contents / "Info.plist", info_plist("1.1"), 0644);
  write_file(old_contents / "Resources/version", "old\n", 0644);
  write_file(new_contents / "Resources/version", "new\n", 0644);

  std::mt19937 random(20261209);
  // A binary in both releases: the same, or rebuilt in the new one.
  auto both = [&](const fs::path& source, const fs::path& relative, mode_t mode) {
    std::string bytes = read_file(source);
    write_file(old_contents / relative, bytes, mode);
    write_file(new_contents / relative, rebuild ? rebuilt(bytes, random) : bytes, mode);
  };
  const char* const kExecutables[] = {"Zentrivale", "backend", "frontend"};
  std::vector<fs::path> programs = binaries("/usr/bin", "", 300 * 1024, 4 * 1024 * 1024, 3);
  for (std::size_t i = 0; i < programs.size(); ++i) {
    both(programs[i], fs::path("MacOS") / kExecutables[i], 0755);
  }
  for (const fs::path& library :
       binaries("/usr/lib/x86_64-linux-gnu", "lib", 20 * 1024, 2 * 1024 * 1024, libraries)) {
    both(library, fs::path("PlugIns/media") / library.filename(), 0644);
  }

  std::vector<fs::path> font_files = fonts();
  for (const fs::path& font : font_files) {
    std::string bytes = read_file(font);
    fs::path relative = fs::path("Resources/fonts") / font.filename();
    write_file(old_contents / relative, bytes, 0644);
    write_file(new_contents / relative, bytes, 0644);
  }
  for (std::size_t i = font_files.size(); i < 8; ++i) {
    std::string bytes = random_bytes(random, 100 * 1024);
    fs::path relative = fs::path("Resources/fonts") / ("generated-" + std::to_string(i) + ".ttf");
    write_file(old_contents / relative, bytes, 0644);
    write_file(new_contents / relative, bytes, 0644);
  }

  for (int i = 0; i < kAssets; ++i) {
    std::string bytes = asset_bytes(random, 2048 + random() % (62 * 1024));
    fs::path relative = fs::path("Resources/assets") / ("asset-" + std::to_string(i) + ".json");
    write_file(old_contents / relative, bytes, 0644);
    if (!rebuild && i % (kAssets / kChangedAssets) == 0) {
      bytes = asset_bytes(random, bytes.size());
    }
    write_file(new_contents / relative, bytes, 0644);
  }
  if (!rebuild) {
    write_file(new_contents / "Resources/assets/asset-new.json", asset_bytes(random, 16384), 0644);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string change = argc == 5 ? argv[3] : "";
  if (change != "rebuild" && change != "resources") {
    std::fprintf(stderr, "usage: delta_trees OLD_APP NEW_APP rebuild|resources LIBRARIES\n");
    return 2;
  }
  make_releases(argv[1], argv[2], change == "rebuild", std::strtoul(argv[4], nullptr, 10));
  if (failure.empty()) return 0;
  std::fprintf(stderr, "delta_trees: %s\n", failure.c_str());
  return 1;
}
