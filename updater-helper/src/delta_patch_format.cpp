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

void DiffWords::next_group() {
  bool word = false;
  if (run_left_ >= 4) {
    if (rule_ == WordRule::x86) {
      word = last_ == 0xe8 || last_ == 0xe9 || (before_last_ == 0x0f && (last_ & 0xf0) == 0x80);
    } else {
      word = offset_ % 4 == 0;
    }
  }
  group_left_ = word ? 4 : 1;
  carry_ = 0;
}

void DiffWords::add(unsigned char* diff, const unsigned char* old, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (group_left_ == 0) next_group();
    unsigned sum = diff[i] + old[i] + carry_;
    diff[i] = static_cast<unsigned char>(sum);
    carry_ = sum >> 8;
    --group_left_;
    --run_left_;
    saw(diff[i]);
  }
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
