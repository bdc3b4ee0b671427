#include "delta_patch_format.h"

namespace installer::patch_format {

std::uint64_t read_u64(const unsigned char* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

void append_u64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::string header(std::uint64_t new_size) {
  std::string out(kMagic, sizeof kMagic);
  append_u64(out, new_size);
  return out;
}

Record read_record(const unsigned char* bytes) {
  return {read_u64(bytes), read_u64(bytes + 8), read_u64(bytes + 16), read_u64(bytes + 24)};
}

void append_record(std::string& out, const Record& record) {
  for (std::uint64_t field : {record.same, record.add, record.extra, record.move})
    append_u64(out, field);
}

namespace {

// A word where one of the new file lies wholly inside, else a byte.
std::size_t group_at(std::uint64_t new_offset, std::size_t left) {
  return new_offset % 4 == 0 && left >= 4 ? 4 : 1;
}

}  // namespace

void append_diff(std::string& out, const unsigned char* target, const unsigned char* old,
                 std::size_t size, std::uint64_t new_offset) {
  std::size_t i = 0;
  while (i < size) {
    unsigned borrow = 0;
    for (std::size_t end = i + group_at(new_offset + i, size - i); i < end; ++i) {
      unsigned taken = old[i] + borrow;
      out.push_back(static_cast<char>(target[i] - taken));
      borrow = target[i] < taken ? 1 : 0;
    }
  }
}

void add_diff(unsigned char* diff, const unsigned char* old, std::size_t size,
              std::uint64_t new_offset) {
  std::size_t i = 0;
  while (i < size) {
    unsigned carry = 0;
    for (std::size_t end = i + group_at(new_offset + i, size - i); i < end; ++i) {
      unsigned sum = diff[i] + old[i] + carry;
      diff[i] = static_cast<unsigned char>(sum);
      carry = sum >> 8;
    }
  }
}

}  // namespace installer::patch_format
