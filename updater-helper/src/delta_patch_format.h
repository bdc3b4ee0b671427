// The binary patch of a delta update: its layout, which the release tool
// writes and the installer reads, defined here once.
//
// A patch is a header, uncompressed:
//   the magic word "ZTVPTCH3" (8 bytes; the last character is the version),
//   the new file's size, unsigned 64-bit little-endian;
// then one .xz stream (LZMA2, the one form of LZMA that macOS's Compression
// library decodes) of records, nothing after it. A record is four unsigned
// 64-bit little-endian integers and the bytes they announce:
//   same   C: C bytes of the old file from the old position, as they are;
//   add    N: N diff bytes follow, added to the old bytes at the old position
//            (now C further), which moves on by N: as 32-bit little-endian
//            words (modulo 2^32) where a word of the new file (at an offset
//            that is a multiple of 4) lies wholly within them, byte by byte
//            (modulo 256) elsewhere;
//   extra  M: after the diff bytes, M bytes copied to the new file as they are;
//   move   S: the old position moves by S, a two's complement signed value.
// The records produce exactly the declared size; nothing follows the last.
// Words rather than bytes because tables of addresses that moved by the
// same amount then give the same diff word over and over, where bytes would
// give carries; mostly-zero diff bytes are what LZMA shrinks best.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace installer::patch_format {

inline constexpr char kMagic[8] = {'Z', 'T', 'V', 'P', 'T', 'C', 'H', '3'};
inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kRecordSize = 32;

// The largest LZMA2 dictionary a patch's stream uses: the release tool sizes
// it to the records and stops here, so that the installer's memory stays
// flat whatever the file's size.
inline constexpr std::uint32_t kLargestDictionary = 16u << 20;
// What the installer's decoder may take for it, with its own state.
inline constexpr std::size_t kDecoderMemoryLimit = kLargestDictionary + (4u << 20);

struct Record {
  std::uint64_t same = 0;
  std::uint64_t add = 0;
  std::uint64_t extra = 0;
  std::uint64_t move = 0;  // two's complement
};

std::uint64_t read_u64(const unsigned char* bytes);
void append_u64(std::string& out, std::uint64_t value);

// The header of a patch for a new file of `new_size` bytes.
std::string header(std::uint64_t new_size);

Record read_record(const unsigned char* bytes);  // kRecordSize bytes
void append_record(std::string& out, const Record& record);

// The diff bytes that turn `old` into `target` (`size` bytes of each), the
// first of which lies at `new_offset` in the new file; `add_diff` undoes it.
void append_diff(std::string& out, const unsigned char* target, const unsigned char* old,
                 std::size_t size, std::uint64_t new_offset);
// Adds `old` to the diff bytes in `diff`, giving the new file's bytes.
void add_diff(unsigned char* diff, const unsigned char* old, std::size_t size,
              std::uint64_t new_offset);

}  // namespace installer::patch_format
