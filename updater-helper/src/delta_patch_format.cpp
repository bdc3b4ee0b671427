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

std::string header(const Header& header) {
  std::string out(kMagic, sizeof kMagic);
  append_u64(out, header.new_size);
  out.push_back(static_cast<char>(header.rule));
  append_u64(out, header.records_length);
  append_u64(out, header.diff_length);
  return out;
}

Header read_header(const unsigned char* bytes) {
  return {read_u64(bytes + 8), static_cast<WordRule>(bytes[16]), read_u64(bytes + 17),
          read_u64(bytes + 25)};
}

Record read_record(const unsigned char* bytes) {
  return {read_u64(bytes), read_u64(bytes + 8), read_u64(bytes + 16), read_u64(bytes + 24)};
}

void append_record(std::string& out, const Record& record) {
  for (std::uint64_t field : {record.same, record.add, record.extra, record.move})
    append_u64(out, field);
}

void DiffWords::saw(unsigned char new_byte) {
  before_last_ = last_;
  last_ = new_byte;
  ++offset_;
}

void DiffWords::pass(const unsigned char* new_bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) saw(new_bytes[i]);
}

void DiffWords::start_run(std::uint64_t size) {
  run_left_ = size;
  group_left_ = 0;
}

bool DiffWords::starts_word(std::uint64_t offset, std::uint64_t run_left, unsigned char last,
                            unsigned char before_last) const {
  if (run_left < 4) return false;
  if (rule_ == WordRule::x86)
    return last == 0xe8 || last == 0xe9 || (before_last == 0x0f && (last & 0xf0) == 0x80);
  return offset % 4 == 0;
}

void DiffWords::next_group() {
  group_left_ = starts_word(offset_, run_left_, last_, before_last_) ? 4 : 1;
  carry_ = 0;
}

namespace {

std::uint32_t load_u32(const unsigned char* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void store_u32(unsigned char* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

// The applier's inner loop: the state is kept in locals, which stores
// through `diff` cannot be assumed to leave alone, and aligned words are
// added whole.
void DiffWords::add(unsigned char* diff, const unsigned char* old, std::size_t size) {
  std::uint64_t offset = offset_, run_left = run_left_;
  unsigned group_left = group_left_, carry = carry_;
  unsigned char last = last_, before_last = before_last_;
  for (std::size_t i = 0; i < size; ++i) {
    if (group_left == 0 && rule_ == WordRule::aligned && offset % 4 == 0) {
      // A word's bytes with their carries are the sum of two little-endian
      // 32-bit words, its carry out dropped.
      std::uint64_t whole = run_left < size - i ? run_left : size - i;
      if (whole >= 4) {
        whole &= ~std::uint64_t{3};
        for (std::size_t end = i + static_cast<std::size_t>(whole); i < end; i += 4)
          store_u32(diff + i, load_u32(diff + i) + load_u32(old + i));
        offset += whole;
        run_left -= whole;
        before_last = diff[i - 2];
        last = diff[i - 1];
        if (i == size) break;
      }
    }
    if (group_left == 0) {
      group_left = starts_word(offset, run_left, last, before_last) ? 4 : 1;
      carry = 0;
    }
    unsigned sum = diff[i] + old[i] + carry;
    diff[i] = static_cast<unsigned char>(sum);
    carry = sum >> 8;
    --group_left;
    --run_left;
    before_last = last;
    last = diff[i];
    ++offset;
  }
  offset_ = offset;
  run_left_ = run_left;
  group_left_ = group_left;
  carry_ = carry;
  last_ = last;
  before_last_ = before_last;
}

void DiffWords::subtract(std::string& out, const unsigned char* target, const unsigned char* old,
                         std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (group_left_ == 0) next_group();
    unsigned taken = old[i] + carry_;
    out.push_back(static_cast<char>(target[i] - taken));
    carry_ = target[i] < taken ? 1 : 0;
    --group_left_;
    --run_left_;
    saw(target[i]);
  }
}

}  // namespace installer::patch_format
