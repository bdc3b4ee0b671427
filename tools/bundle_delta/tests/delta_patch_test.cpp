// The patch maker and the installer's applier together: round trips through
// real files, and the applier on damaged patches and damaged streams.
#include "delta_patch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <lzma.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "delta_patch_format.h"
#include "files.h"
#include "patch_maker.h"
#include "suffix_index.h"
#include "temp_dir.h"
#include "unique_fd.h"
#include "xz_encoding.h"

namespace {

using test_support::TempDir;

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xff);
  return bytes;
}

// Applies `patch` to `old` through files, for a new file of `size` bytes;
// the error, or "" and the new bytes.
std::string apply(const TempDir& dir, const std::string& old, const std::string& patch,
                  std::string& made, std::uint64_t size) {
  test_support::write_file(dir / "old", old);
  test_support::write_file(dir / "patch", patch);
  support::UniqueFd old_fd(::open((dir / "old").c_str(), O_RDONLY | O_CLOEXEC));
  support::UniqueFd patch_fd(::open((dir / "patch").c_str(), O_RDONLY | O_CLOEXEC));
  support::UniqueFd new_fd(
      ::open((dir / "new").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  auto applied = installer::apply_patch(old_fd.get(), old.size(), patch_fd.get(), new_fd.get(),
                                        size, "X");
  made = test_support::read_file(dir / "new");
  return applied ? "" : applied.error();
}

struct RoundTrip {
  const char* name;
  std::string old_bytes;
  std::string new_bytes;
  std::size_t largest_patch;  // what finding the matches must keep it under
};

std::vector<RoundTrip> round_trips() {
  const std::string big = random_bytes(3 << 20, 1);
  std::string changed = big;
  for (std::size_t at : {std::size_t{17}, std::size_t{1} << 20, changed.size() - 5})
    changed[at] ^= 0x55;
  changed.insert(2 << 20, "a few inserted bytes");
  std::string blocks = big.substr(0, 1 << 20);
  blocks.erase(300000, 7000);
  blocks.insert(600000, random_bytes(5000, 2));
  blocks.erase(900000, 100);
  blocks.insert(100, random_bytes(4096, 3));
  const std::string unrelated = random_bytes(200000, 4);
  // Addresses that moved, in a stretch that starts off a word of the new file
  // and is longer than the applier's buffer: some words fall where it refills.
  std::string moved = "abc" + big.substr(0, 1 << 20);
  for (std::size_t at = 8; at + 4 <= moved.size(); at += 20) {
    std::uint32_t address = 0;
    for (int i = 3; i >= 0; --i) address = address << 8 | static_cast<unsigned char>(moved[at + i]);
    address -= 0x100;
    for (int i = 0; i < 4; ++i) moved[at + i] = static_cast<char>(address >> (8 * i));
  }
  return {
      {"empty_old", "", unrelated, unrelated.size() + 300},
      {"empty_new", unrelated, "", 200},
      {"both_empty", "", "", 200},
      {"identical", big, big, 200},
      {"small_change_in_a_large_file", big, changed, 1000},
      {"inserted_and_deleted_blocks", big.substr(0, 1 << 20), blocks, 12000},
      {"unrelated_random_bytes", random_bytes(300000, 5), unrelated, unrelated.size() + 10000},
      {"moved_addresses", big.substr(0, 1 << 20), moved, moved.size() + 1000},
  };
}

TEST(DeltaPatch, AppliedPatchGivesExactlyTheNewBytes) {
  for (const RoundTrip& c : round_trips()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string patch = delta::make_patch(c.old_bytes, c.new_bytes);
    EXPECT_LE(patch.size(), c.largest_patch);
    std::string made;
    EXPECT_EQ(apply(dir, c.old_bytes, patch, made, c.new_bytes.size()), "");
    EXPECT_TRUE(made == c.new_bytes) << made.size() << " bytes made of " << c.new_bytes.size();
  }
}

// A patch written by hand: a header and records.
struct Record {
  std::uint64_t same, add, extra, move;
  std::string bytes;  // the diff and extra bytes that it takes
};

using installer::patch_format::WordRule;

// A patch's three streams, before they are compressed.
struct Streams {
  std::string records, diff, extra;
};

Streams streams_of(const std::vector<Record>& records) {
  Streams out;
  for (const Record& r : records) {
    installer::patch_format::append_record(out.records, {r.same, r.add, r.extra, r.move});
    out.diff += r.bytes.substr(0, r.add < r.bytes.size() ? r.add : r.bytes.size());
    if (r.add < r.bytes.size()) out.extra += r.bytes.substr(r.add);
  }
  return out;
}

// Compressed as the release tool compresses them, unless `raw`.
std::string patch_from(std::uint64_t declared, const Streams& s,
                       WordRule rule = WordRule::aligned, bool raw = false) {
  auto packed = [&](const std::string& bytes) { return raw ? bytes : delta::xz_compress(bytes); };
  std::string records = packed(s.records), diff = packed(s.diff), extra = packed(s.extra);
  return installer::patch_format::header({declared, rule, records.size(), diff.size()}) +
         records + diff + extra;
}

std::string patch_of(std::uint64_t declared, const std::vector<Record>& records,
                     WordRule rule = WordRule::aligned) {
  return patch_from(declared, streams_of(records), rule);
}

struct Damaged {
  const char* name;
  std::string patch;
  const char* what;
  std::size_t written;  // at most this many bytes of the new file before the applier stops
  std::uint64_t recorded = 30;  // the new file's size in the manifest
};

TEST(DeltaPatch, DamagedPatchIsRefusedBeforeWritingPastItsDeclaredSize) {
  const std::string old = random_bytes(100, 6);
  const Record ten{10, 0, 0, 0, ""};
  const std::vector<Record> three = {
      ten, {0, 4, 6, 50, "\1\1\1\1eeeeee"}, {0, 10, 0, 0, std::string(10, '\0')}};
  const Streams streams = streams_of(three);
  const std::string whole = patch_of(30, three);
  const std::string header = whole.substr(0, installer::patch_format::kHeaderSize);
  auto changed = [&](auto change) {
    Streams s = streams;
    change(s);
    return patch_from(30, s);
  };
  std::string bad_magic = whole;
  bad_magic[7] = '2';
  std::string unknown_rule = whole;
  unknown_rule[16] = 2;
  std::string long_stream = whole;
  long_stream[17 + 7] = 1;  // the records' stream as long as 2^56 bytes
  const installer::patch_format::Header parts =
      installer::patch_format::read_header(reinterpret_cast<const unsigned char*>(whole.data()));
  std::string diff_footer = whole;  // the last byte of the diff stream's footer magic
  diff_footer[installer::patch_format::kHeaderSize + parts.records_length + parts.diff_length -
              1] ^= 0x20;
  const std::uint64_t huge = UINT64_MAX;
  const std::vector<Damaged> cases = {
      {"empty", "", "ends inside its header", 0},
      {"cut_in_header", whole.substr(0, 12), "ends inside its header", 0},
      {"bad_magic", bad_magic, "does not begin with the magic word of this format", 0},
      {"larger_than_recorded", patch_of(31, three), "makes 31 bytes where the manifest records 30",
       0},
      {"unknown_word_rule", unknown_rule, "has an unknown word rule 2", 0},
      {"streams_longer_than_the_patch", long_stream, "ends early", 0},
      {"no_streams", header, "ends early", 0},
      {"stream_cut_short", whole.substr(0, whole.size() - 30), "ends early", 30},
      {"stream_damaged", diff_footer, "has a damaged compressed stream", 30},
      {"not_compressed", patch_from(30, streams, WordRule::aligned, true),
       "has a damaged compressed stream", 0},
      {"bytes_after_the_streams", whole + "x", "has bytes after a compressed stream", 30},
      {"cut_in_fields", changed([](Streams& s) { s.records.resize(32 + 20); }),
       "ends inside a record", 10},
      {"cut_in_extra_bytes", changed([](Streams& s) { s.extra.resize(3); }),
       "ends inside a record", 17},
      {"cut_after_a_record", changed([](Streams& s) { s.records.resize(64); }),
       "ends before the declared size is written", 20},
      {"records_left_over", changed([](Streams& s) { s.records += s.records.substr(0, 32); }),
       "has bytes after its last record", 30},
      {"diff_bytes_left_over", changed([](Streams& s) { s.diff += "d"; }),
       "has bytes after its last record", 30},
      {"same_beyond_old", patch_of(30, {{101, 0, 0, 0, ""}}), "reads past the end of the old file",
       0},
      {"add_beyond_old", patch_of(30, {{90, 11, 0, 0, std::string(11, 'a')}}),
       "reads past the end of the old file", 0},
      {"overflowing_add", patch_of(30, {ten, {0, huge, 0, 0, ""}}),
       "reads past the end of the old file", 10},
      {"beyond_declared", patch_of(15, {ten, {0, 0, 6, 0, "eeeeee"}}),
       "writes past the declared size", 10, 15},
      {"overflowing_extra", patch_of(15, {{0, 5, huge - 2, 0, "ddddd"}}),
       "writes past the declared size", 0, 15},
      {"extra_beyond_patch", patch_of(15, {{0, 0, 15, 0, "eeee"}}), "ends inside a record", 4, 15},
      {"move_before_start", patch_of(20, {ten, {0, 0, 0, huge - 10, ""}}),
       "moves the old position outside the old file", 10, 20},
      {"move_past_end", patch_of(20, {{10, 0, 0, 91, ""}}),
       "moves the old position outside the old file", 0, 20},
  };
  for (const Damaged& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string made;
    const std::string error = apply(dir, old, c.patch, made, c.recorded);
    EXPECT_EQ(error, std::string("the delta update is damaged: the patch of X ") + c.what);
    EXPECT_TRUE(installer::is_damaged_patch(error));
    EXPECT_LE(made.size(), c.written);
  }
  TempDir dir;
  std::string made;
  ASSERT_EQ(apply(dir, old, whole, made, 30), "");
  std::string added = old.substr(10, 4);
  for (char& c : added) ++c;
  EXPECT_EQ(made, old.substr(0, 10) + added + "eeeeee" + old.substr(64, 10));
}

TEST(DeltaPatch, DiffBytesAddAsWordsWhereTheWordRuleStartsThem) {
  struct Case {
    const char* name;
    WordRule rule;
    std::string old;
    Record record;  // over the whole old file
    std::string made;
  } cases[] = {
      // New bytes 2 to 12: two bytes, two words of the new file, one byte.
      {"aligned", WordRule::aligned, std::string(20, '\xff'), {2, 11, 0, 0, std::string(11, '\1')},
       std::string("\xff\xff\0\0\0\1\1\1\0\1\1\1\0", 13)},
      // A word after each call (E8) and jump (0F 85) of the new file, bytes
      // elsewhere; the opcodes themselves come as diff bytes or copied.
      {"x86", WordRule::x86, std::string("\xe8\xff\xff\xff\xff\x0f\x85\xff\xff\xff\xff\xff", 12),
       {1, 11, 0, 0, std::string("\1\0\0\0\0\0\1\0\0\0\1", 11)},
       std::string("\xe8\0\0\0\0\x0f\x85\0\0\0\0\0", 12)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string made;
    TempDir dir;
    ASSERT_EQ(apply(dir, c.old, patch_of(c.made.size(), {c.record}, c.rule), made, c.made.size()),
              "");
    EXPECT_EQ(made, c.made);
  }
}

// The dictionary a stream's header gives, which the installer's decoder
// allocates.
std::uint32_t dictionary_of(const std::string& stream) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(stream.data());
  const std::size_t block = LZMA_STREAM_HEADER_SIZE;  // the one block follows the stream's header
  lzma_filter filters[LZMA_FILTERS_MAX + 1];
  lzma_block header{};
  header.version = 0;
  header.check = LZMA_CHECK_CRC32;
  header.filters = filters;
  header.header_size = lzma_block_header_size_decode(bytes[block]);
  if (lzma_block_header_decode(&header, nullptr, bytes + block) != LZMA_OK) return 0;
  const std::uint32_t dictionary = static_cast<lzma_options_lzma*>(filters[0].options)->dict_size;
  for (lzma_filter& filter : filters) {
    if (filter.id == LZMA_VLI_UNKNOWN) break;
    free(filter.options);
  }
  return dictionary;
}

// A stream's dictionary is its data's size, as the header can say it (2^n or
// 3 * 2^(n-1)), at least 4 KiB and at most 512 KiB, however large the data;
// the stream decodes back to the data.
TEST(DeltaXzEncoding, DictionaryIsTheDataSizeUpToHalfAMebibyte) {
  struct Case {
    std::size_t size;
    std::uint32_t dictionary;
  } cases[] = {
      {100, 4096},
      {300000, 3u << 17},
      {std::size_t{512} << 10, 512u << 10},
      {std::size_t{3} << 20, 512u << 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    // Compressible (a random stretch repeated): data that is not is stored
    // as it is, under the smallest dictionary.
    std::string data;
    while (data.size() < c.size) data += random_bytes(50000, 7);
    data.resize(c.size);
    const std::string stream = delta::xz_compress(data);
    EXPECT_EQ(dictionary_of(stream), c.dictionary);
    std::string decoded(c.size, '\0');
    std::uint64_t memory = installer::patch_format::kDecoderMemoryLimit;
    std::size_t in = 0, out = 0;
    ASSERT_EQ(lzma_stream_buffer_decode(&memory, 0, nullptr,
                                        reinterpret_cast<const std::uint8_t*>(stream.data()), &in,
                                        stream.size(), reinterpret_cast<std::uint8_t*>(decoded.data()),
                                        &out, decoded.size()),
              LZMA_OK);
    EXPECT_TRUE(decoded == data);
  }
}

// The index holds positions in three bytes below 16 MiB and in four from
// there: a text planted at the end of the old file is found where it is,
// and one the file lacks matches only as far as their common start.
TEST(DeltaSuffixIndex, LongestMatchIsFoundAtItsPositionWhateverTheFilesSize) {
  const std::string needle = random_bytes(64, 99);
  for (std::size_t size : {std::size_t{1000}, (std::size_t{1} << 24) - 100,
                           (std::size_t{1} << 24) + 5000}) {
    std::string old = random_bytes(size, 5);
    const std::size_t at = size - needle.size() - 7;
    old.replace(at, needle.size(), needle);
    delta::SuffixIndex index(old);

    const delta::Match found = index.longest(needle);
    EXPECT_EQ(found.position, at) << size;
    EXPECT_EQ(found.length, needle.size()) << size;
    const delta::Match start = index.longest(old.substr(0, 100) + needle);
    EXPECT_EQ(start.position, 0u) << size;
    EXPECT_EQ(start.length, 100u) << size;
  }
}

}  // namespace

// The applier adds a run's diff bytes as the old file's and the patch's
// buffers give them, so a word may start in one call and end in the next:
// every way of cutting the run in two gives the bytes of the run taken whole,
// and subtracting them gives the diff bytes back.
TEST(DeltaPatch, DiffBytesAddTheSameWhereverTheRunIsCut) {
  // Opcodes that start x86 words among the noise, some with carries.
  std::string made = random_bytes(61, 3);
  for (std::size_t at : {std::size_t{5}, std::size_t{17}, std::size_t{40}}) made[at] = '\xe8';
  made.replace(26, 2, "\x0f\x84");
  const std::string old = random_bytes(made.size(), 4);
  for (WordRule rule : {WordRule::aligned, WordRule::x86}) {
    for (std::size_t start : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
      SCOPED_TRACE("rule " + std::to_string(static_cast<int>(rule)) + ", run from byte " +
                   std::to_string(start));
      const std::size_t length = made.size() - start;
      // The diff bytes that make `made` from `old`, with `start` bytes before the run.
      installer::patch_format::DiffWords maker(rule);
      auto in = [](const std::string& s, std::size_t at) {
        return reinterpret_cast<const unsigned char*>(s.data() + at);
      };
      maker.pass(in(made, 0), start);
      maker.start_run(length);
      std::string diff;
      maker.subtract(diff, in(made, start), in(old, start), length);
      for (std::size_t cut = 0; cut <= length; ++cut) {
        installer::patch_format::DiffWords applier(rule);
        applier.pass(in(made, 0), start);
        applier.start_run(length);
        std::string bytes = diff;
        auto* out = reinterpret_cast<unsigned char*>(&bytes[0]);
        applier.add(out, in(old, start), cut);
        applier.add(out + cut, in(old, start + cut), length - cut);
        ASSERT_EQ(bytes, made.substr(start)) << "cut after " << cut;
      }
    }
  }
}
