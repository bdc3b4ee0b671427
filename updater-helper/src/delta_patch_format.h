// The binary patch of a delta update: its layout, which the release tool
// writes and the installer reads, defined here once.
//
// A patch is a header, uncompressed:
//   the magic word "ZTVPTCH3" (8 bytes; the last character is the version),
//   the new file's size, unsigned 64-bit little-endian,
//   its word rule (one byte, WordRule),
//   the lengths of its first two streams, unsigned 64-bit little-endian;
// then three .xz streams (LZMA2, the one form of LZMA that macOS's
// Compression library decodes), the third up to the patch's end:
//   records, each four unsigned 64-bit little-endian integers:
//     same   C: C bytes of the old file from the old position, as they are;
//     add    N: the next N diff bytes, added to the old bytes at the old
//              position (now C further), which moves on by N: as 32-bit
//              little-endian words (modulo 2^32) where the word rule starts a
//              word and four diff bytes remain, byte by byte (modulo 256)
//              elsewhere;
//     extra  M: then the next M extra bytes, as they are;
//     move   S: the old position moves by S, a two's complement signed value;
//   the diff bytes of every record, in order;
//   the extra bytes of every record, in order.
// The records produce exactly the declared size; each stream ends with the
// last record's bytes. Three streams rather than one because LZMA then models
// each kind of byte on its own kind: on real releases the patches came out 2
// to 7 % smaller than with the three interleaved in one stream.
// Words rather than bytes because addresses that moved by the same amount
// then give the same diff word over and over, where bytes would give
// carries; mostly-zero diff bytes are what LZMA shrinks best.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace installer::patch_format {

inline constexpr char kMagic[8] = {'Z', 'T', 'V', 'P', 'T', 'C', 'H', '3'};
inline constexpr std::size_t kHeaderSize = 33;
inline constexpr std::size_t kRecordSize = 32;

// The largest LZMA2 dictionary a patch's stream uses: the release tool sizes
// it to the stream and stops here, so that the installer's memory (three
// decoders at once) stays flat whatever the file's size. A patch's streams
// find their matches close by: on real releases 1 MiB gave patches within
// 0.1 % of a dictionary the size of the stream, and took the release tool
// 40 % less memory.
inline constexpr std::uint32_t kLargestDictionary = 1u << 20;
// What the installer's decoder may take for one stream, with its own state.
inline constexpr std::size_t kDecoderMemoryLimit = kLargestDictionary + (1u << 20);

struct Record {
  std::uint64_t same = 0;
  std::uint64_t add = 0;
  std::uint64_t extra = 0;
  std::uint64_t move = 0;  // two's complement
};

// Where the words of diff bytes start: where the addresses that code holds
// lie, so that those that moved alike give equal words.
enum class WordRule : unsigned char {
  // At offsets of the new file that are multiples of 4: arm64's
  // instructions and tables of addresses.
  aligned = 0,
  // After x86's calls and jumps with a 32-bit displacement (E8, E9, 0F 8x)
  // in the new file, which lie anywhere.
  x86 = 1,
};

std::uint64_t read_u64(const unsigned char* bytes);
void append_u64(std::string& out, std::uint64_t value);

struct Header {
  std::uint64_t new_size = 0;
  WordRule rule = WordRule::aligned;
  std::uint64_t records_length = 0;  // of the first stream, compressed
  std::uint64_t diff_length = 0;     // of the second
};

std::string header(const Header& header);
// kHeaderSize bytes that begin with the magic word; the rule unchecked.
Header read_header(const unsigned char* bytes);

Record read_record(const unsigned char* bytes);  // kRecordSize bytes
void append_record(std::string& out, const Record& record);

// The diff bytes of a patch, turned into new bytes (the applier) or made
// from them (the release tool), streaming: both see every byte of the new
// file in order, diff or not, since the x86 rule looks at the bytes before.
class DiffWords {
 public:
  explicit DiffWords(WordRule rule) : rule_(rule) {}

  // New bytes that are no diff bytes (copied from the old file, or extra).
  void pass(const unsigned char* new_bytes, std::size_t size);
  // A run of `size` diff bytes starts here.
  void start_run(std::uint64_t size);
  // The run's next `size` bytes: adds `old` to the diff bytes in `diff`,
  // which become the new file's.
  void add(unsigned char* diff, const unsigned char* old, std::size_t size);
  // The run's next `size` bytes: appends the diff bytes that turn `old`
  // into `target`.
  void subtract(std::string& out, const unsigned char* target, const unsigned char* old,
                std::size_t size);

 private:
  // Whether a word of the run starts at `offset`, after those bytes.
  bool starts_word(std::uint64_t offset, std::uint64_t run_left, unsigned char last,
                   unsigned char before_last) const;
  // Starts the next word or byte of the run.
  void next_group();
  void saw(unsigned char new_byte);

  WordRule rule_;
  std::uint64_t offset_ = 0;    // in the new file, of the next byte
  std::uint64_t run_left_ = 0;  // diff bytes left in the run
  unsigned group_left_ = 0;     // bytes left in the word (or byte) under way
  unsigned carry_ = 0;          // or borrow, within a word
  unsigned char last_ = 0;      // the new file's last two bytes
  unsigned char before_last_ = 0;
};

}  // namespace installer::patch_format
