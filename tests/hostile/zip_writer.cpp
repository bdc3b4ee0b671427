#include "zip_writer.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
#include <vector>

namespace hostile {
namespace {

uint32_t crc32(const std::string& data) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : data) crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void put16(std::string& out, uint32_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}

void put32(std::string& out, uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

void put64(std::string& out, uint64_t value) {
  put32(out, static_cast<uint32_t>(value));
  put32(out, static_cast<uint32_t>(value >> 32));
}

bool is_non_ascii_utf8(const std::string& name) {
  bool non_ascii = false;
  for (size_t i = 0; i < name.size();) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3
                                 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || i + length > name.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(name[i + k]) & 0xC0) != 0x80) return false;
    }
    non_ascii = non_ascii || length > 1;
    i += length;
  }
  return non_ascii;
}

std::string read_link(const std::string& path) {
  std::vector<char> buffer(4096);
  ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
  return n < 0 ? std::string() : std::string(buffer.data(), static_cast<size_t>(n));
}

}  // namespace

void ZipWriter::entry(const std::string& name, const std::string& content, uint32_t mode,
                      uint8_t system) {
  const uint32_t crc = crc32(content);
  const uint32_t size = static_cast<uint32_t>(content.size());
  const uint32_t offset = static_cast<uint32_t>(local_.size());
  // Bit 11: the name is UTF-8. Left off for other bytes, as Info-ZIP does.
  const uint32_t flags = is_non_ascii_utf8(name) ? 0x0800 : 0;
  const uint32_t dos_date = (0 << 9) | (1 << 5) | 1;  // 1980-01-01

  put32(local_, 0x04034b50);
  put16(local_, 20);
  put16(local_, flags);
  put16(local_, 0);  // stored
  put16(local_, 0);
  put16(local_, dos_date);
  put32(local_, crc);
  put32(local_, size);
  put32(local_, size);
  put16(local_, static_cast<uint32_t>(name.size()));
  put16(local_, 0);
  local_ += name;
  local_ += content;

  put32(central_, 0x02014b50);
  put16(central_, (static_cast<uint32_t>(system) << 8) | 20);
  put16(central_, 20);
  put16(central_, flags);
  put16(central_, 0);
  put16(central_, 0);
  put16(central_, dos_date);
  put32(central_, crc);
  put32(central_, size);
  put32(central_, size);
  put16(central_, static_cast<uint32_t>(name.size()));
  put16(central_, 0);
  put16(central_, 0);
  put16(central_, 0);
  put16(central_, 0);
  const uint32_t dos_directory = S_ISDIR(mode) ? 0x10 : 0;
  put32(central_, (system == 3 ? mode << 16 : 0) | dos_directory);
  put32(central_, offset);
  central_ += name;
  ++entries_;
}

void ZipWriter::file(const std::string& name, const std::string& content,
                     uint32_t permissions) {
  entry(name, content, S_IFREG | permissions);
}

void ZipWriter::directory(const std::string& name) { entry(name + "/", "", S_IFDIR | 0755); }

void ZipWriter::symlink(const std::string& name, const std::string& target) {
  entry(name, target, S_IFLNK | 0777);
}

bool ZipWriter::tree(const std::string& directory, const std::string& prefix,
                     const ModeFor& mode_for) {
  DIR* listing = ::opendir(directory.c_str());
  if (!listing) return false;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(listing)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string path = directory + "/" + name;
    std::string entry_name = prefix + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
      this->directory(entry_name);
      if (!tree(path, entry_name + "/", mode_for)) return false;
    } else if (S_ISLNK(st.st_mode)) {
      symlink(entry_name, read_link(path));
    } else {
      std::ifstream in(path, std::ios::binary);
      std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      uint32_t mode = mode_for ? mode_for(entry_name) : 0;
      entry(entry_name, content, mode != 0 ? mode : S_IFREG | (st.st_mode & 07777));
    }
  }
  return true;
}

std::string ZipWriter::bytes() const {
  std::string out = local_ + central_;
  const uint64_t central_offset = local_.size();
  const uint64_t central_size = central_.size();
  const bool zip64 = entries_ >= 0xFFFF;
  if (zip64) {
    const uint64_t record_offset = out.size();
    put32(out, 0x06064b50);
    put64(out, 44);
    put16(out, (3 << 8) | 45);
    put16(out, 45);
    put32(out, 0);
    put32(out, 0);
    put64(out, entries_);
    put64(out, entries_);
    put64(out, central_size);
    put64(out, central_offset);
    put32(out, 0x07064b50);
    put32(out, 0);
    put64(out, record_offset);
    put32(out, 1);
  }
  const uint32_t count = zip64 ? 0xFFFF : static_cast<uint32_t>(entries_);
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, count);
  put16(out, count);
  put32(out, static_cast<uint32_t>(central_size));
  put32(out, static_cast<uint32_t>(central_offset));
  put16(out, 0);
  return out;
}

bool ZipWriter::write(const std::string& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::string data = bytes();
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

}  // namespace hostile
