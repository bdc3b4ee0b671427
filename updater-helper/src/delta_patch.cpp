// The binary patch of a delta update, and its applier.
//
// A patch is, all integers unsigned 64-bit little-endian:
//   the magic word "ZTVPTCH2" (8 bytes; the last character is the version),
//   the new file's size,
//   then records, each four such integers and the bytes they announce:
//     same   C: C bytes of the old file from the old position, as they are;
//     add    N: N diff bytes follow, added to the old bytes at the old
//              position (now C further), which moves on by N: as 32-bit
//              little-endian words (modulo 2^32) where a word of the new file
//              (at an offset that is a multiple of 4) lies wholly within them,
//              byte by byte (modulo 256) elsewhere;
//     extra  M: after the diff bytes, M bytes copied to the new file as they are;
//     move   S: the old position moves by S, a two's complement signed value.
// The records produce exactly the declared size; nothing follows the last one.
// Mostly-zero diff bytes where old and new nearly agree are what makes the
// deflated patch small (code that moved keeps its bytes but not its
// addresses); long agreement is a `same` count instead, as deflate cannot
// shrink a run of zeros below about a thousandth of its length. Words rather
// than bytes because tables of addresses that moved by the same amount then
// give the same diff word over and over, where bytes would give carries.
// The patch is stored deflated in the archive, so it is not compressed here.
//
// It is applied streaming, from the installed file, in fixed memory: the
// patch and the new file strictly in order, the old file at offsets only.

#include "delta_patch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "os_error.h"

namespace installer {
namespace {

constexpr char kMagic[8] = {'Z', 'T', 'V', 'P', 'T', 'C', 'H', '2'};
constexpr std::size_t kChunk = 64 * 1024;

support::Error damaged(const std::string& what) {
  return support::Error("the patch is damaged: " + what);
}

std::uint64_t little_endian(const unsigned char* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

// Reads up to `size` bytes, fewer only at the end of the file.
support::Result<std::size_t> read_fully(int fd, unsigned char* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = support::retry_on_eintr([&] { return ::read(fd, buffer + done, size - done); });
    if (n < 0) return support::os_error(errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

support::Result<void> pread_fully(int fd, unsigned char* buffer, std::size_t size,
                                  std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = support::retry_on_eintr(
        [&] { return ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done)); });
    if (n < 0) return support::os_error(errno);
    // The caller checked the range against the size it was given.
    if (n == 0) return support::Error("the old file is shorter than its recorded size");
    done += static_cast<std::size_t>(n);
  }
  return support::success();
}

support::Result<void> write_fully(int fd, const unsigned char* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = support::retry_on_eintr([&] { return ::write(fd, buffer + done, size - done); });
    if (n < 0) return support::os_error(errno);
    done += static_cast<std::size_t>(n);
  }
  return support::success();
}

// What the patch holds from its current offset on; unknown (the most there
// could be) for a pipe, whose end the reads then find.
support::Result<std::uint64_t> patch_remaining(int patch_fd) {
  struct stat status;
  if (::fstat(patch_fd, &status) != 0) return support::os_error(errno);
  if (!S_ISREG(status.st_mode)) return UINT64_MAX;
  off_t offset = ::lseek(patch_fd, 0, SEEK_CUR);
  if (offset < 0) return support::os_error(errno);
  if (offset > status.st_size) return std::uint64_t{0};
  return static_cast<std::uint64_t>(status.st_size - offset);
}

// Where the bytes of one part of a record come from.
struct Source {
  int patch_fd;  // -1: none from the patch
  int old_fd;    // -1: none from the old file; both: their sum
  std::uint64_t old_offset;
};

// Adds the diff bytes of `chunk` bytes of the new file starting at
// `new_offset` to the old ones, into `diff`: the words of the new file
// wholly inside as words, the rest as bytes.
void add_diff(unsigned char* diff, const unsigned char* old, std::size_t chunk,
              std::uint64_t new_offset) {
  std::size_t i = 0;
  while (i < chunk) {
    std::size_t group = (new_offset + i) % 4 == 0 && chunk - i >= 4 ? 4 : 1;
    unsigned carry = 0;
    for (std::size_t end = i + group; i < end; ++i) {
      unsigned sum = diff[i] + old[i] + carry;
      diff[i] = static_cast<unsigned char>(sum);
      carry = sum >> 8;
    }
  }
}

// Writes `size` bytes from `source` to the new file, from `new_offset` on.
support::Result<void> stream(Source source, int new_fd, std::uint64_t size,
                             std::uint64_t new_offset, unsigned char* patch_buffer,
                             unsigned char* old_buffer) {
  while (size > 0) {
    // Chunks after the first start at a word of the new file, so that none
    // is split between two.
    std::size_t room = kChunk - static_cast<std::size_t>(new_offset % 4);
    std::size_t chunk = size < room ? static_cast<std::size_t>(size) : room;
    if (source.patch_fd >= 0) {
      auto got = read_fully(source.patch_fd, patch_buffer, chunk);
      if (!got) return std::move(got).take_error();
      if (*got < chunk) return damaged("it ends inside a record");
    }
    if (source.old_fd >= 0) {
      auto read = pread_fully(source.old_fd, old_buffer, chunk, source.old_offset);
      if (!read) return read;
      source.old_offset += chunk;
    }
    const unsigned char* out = source.old_fd < 0 ? patch_buffer : old_buffer;
    if (source.patch_fd >= 0 && source.old_fd >= 0) {
      add_diff(patch_buffer, old_buffer, chunk, new_offset);
      out = patch_buffer;
    }
    if (auto written = write_fully(new_fd, out, chunk); !written) return written;
    size -= chunk;
    new_offset += chunk;
  }
  return support::success();
}

// Takes `size` bytes off what the patch holds; unknown stays unknown.
void consume(std::uint64_t& patch_left, std::uint64_t size) {
  if (patch_left != UINT64_MAX) patch_left = size < patch_left ? patch_left - size : 0;
}

}  // namespace

support::Result<void> apply_patch(int old_fd, std::uint64_t old_size, int patch_fd, int new_fd) {
  auto remaining = patch_remaining(patch_fd);
  if (!remaining) return std::move(remaining).take_error();
  std::uint64_t patch_left = *remaining;
  // Fixed buffers, whatever the sizes: the patch's bytes and the old file's.
  auto buffers = std::make_unique<unsigned char[]>(2 * kChunk);
  unsigned char* patch_buffer = buffers.get();
  unsigned char* old_buffer = buffers.get() + kChunk;

  unsigned char header[16];
  auto got = read_fully(patch_fd, header, sizeof header);
  if (!got) return std::move(got).take_error();
  if (*got < sizeof header) return damaged("it ends inside its header");
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0)
    return damaged("it does not begin with the magic word of this format");
  const std::uint64_t new_size = little_endian(header + 8);
  std::uint64_t new_left = new_size;
  consume(patch_left, sizeof header);

  std::uint64_t old_position = 0;
  while (new_left > 0) {
    unsigned char record[32];
    got = read_fully(patch_fd, record, sizeof record);
    if (!got) return std::move(got).take_error();
    if (*got == 0) return damaged("it ends before the declared size is written");
    if (*got < sizeof record) return damaged("it ends inside a record");
    std::uint64_t same = little_endian(record);
    std::uint64_t add = little_endian(record + 8);
    std::uint64_t extra = little_endian(record + 16);
    std::uint64_t move = little_endian(record + 24);
    consume(patch_left, sizeof record);

    // Every length against both files and the patch, before any is used;
    // differences of known-ordered values only, so nothing can overflow.
    std::uint64_t old_left = old_size - old_position;
    if (same > old_left || add > old_left - same)
      return damaged("a record reads past the end of the old file");
    if (same > new_left || add > new_left - same || extra > new_left - same - add)
      return damaged("a record writes past the declared size");
    if (add > patch_left || extra > patch_left - add) return damaged("it ends inside a record");
    std::uint64_t moved_from = old_position + same + add;
    bool backwards = move >> 63 != 0;
    std::uint64_t distance = backwards ? ~move + 1 : move;
    if (backwards ? distance > moved_from : distance > old_size - moved_from)
      return damaged("a record moves the old position outside the old file");

    const Source parts[] = {
        {-1, old_fd, old_position}, {patch_fd, old_fd, old_position + same}, {patch_fd, -1, 0}};
    const std::uint64_t sizes[] = {same, add, extra};
    std::uint64_t new_offset = new_size - new_left;
    for (int part = 0; part < 3; ++part) {
      auto written =
          stream(parts[part], new_fd, sizes[part], new_offset, patch_buffer, old_buffer);
      if (!written) return written;
      new_offset += sizes[part];
    }
    old_position = backwards ? moved_from - distance : moved_from + distance;
    new_left -= same + add + extra;
    consume(patch_left, add + extra);
  }

  got = read_fully(patch_fd, patch_buffer, 1);
  if (!got) return std::move(got).take_error();
  if (*got != 0) return damaged("it has bytes after its last record");
  return support::success();
}

}  // namespace installer
