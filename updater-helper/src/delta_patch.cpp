// The applier of a delta update's patches: streaming, from the installed
// file, in fixed memory. The new file is written strictly in order, the old
// file and the patch read at offsets only; the patch's three streams are
// decoded side by side as the records need their bytes.

#include "delta_patch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>

#include "delta_patch_format.h"
#include "full_io.h"
#include "os_error.h"
#include "platform.h"

namespace installer {
namespace {

namespace format = patch_format;
using support::Result;

constexpr std::size_t kChunk = 64 * 1024;

// Reads up to `size` bytes from the file's start, fewer only at its end.
Result<std::size_t> read_start(int fd, unsigned char* buffer, std::size_t size) {
  return support::pread_up_to(fd, buffer, size, 0);
}

Result<void> pread_fully(int fd, unsigned char* buffer, std::size_t size, std::uint64_t offset) {
  Result<std::size_t> done = support::pread_up_to(fd, buffer, size, offset);
  if (!done) return std::move(done).take_error();
  // The caller checked the range against the size it was given.
  if (*done < size) return support::Error("the old file is shorter than its recorded size");
  return support::success();
}

Result<void> write_fully(int fd, const unsigned char* buffer, std::size_t size) {
  return support::write_all(fd, std::string_view(reinterpret_cast<const char*>(buffer), size));
}

// Messages about the patch of one file.
class Damage {
 public:
  explicit Damage(std::string_view name) : name_(name) {}
  support::Error operator()(const std::string& what) const {
    return support::Error(std::string(kDamagedDelta) + "the patch of " + std::string(name_) +
                          " " + what);
  }

 private:
  std::string_view name_;
};

// The decoded bytes of one of a patch's xz streams, in order: the stream
// lies at [offset, offset + length) of the patch file, read at offsets.
class PatchStream {
 public:
  PatchStream(int fd, std::uint64_t offset, std::uint64_t length, const Damage& damaged)
      : fd_(fd), offset_(offset), left_(length), damaged_(damaged),
        decoder_(format::kDecoderMemoryLimit), input_(std::make_unique<unsigned char[]>(kChunk)) {}

  // Up to `size` decoded bytes; fewer only where the stream ends.
  Result<std::size_t> read(unsigned char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size && !stream_ended_) {
      if (begin_ == end_ && left_ > 0) {
        Result<void> filled = fill();
        if (!filled) return std::move(filled).take_error();
      }
      const bool input_ends = left_ == 0;
      support::platform::XzDecoder::Step step = decoder_.decode(
          input_.get() + begin_, end_ - begin_, input_ends, out + done, size - done);
      begin_ += step.consumed;
      done += step.produced;
      using Status = support::platform::XzDecoder::Status;
      if (step.status == Status::damaged) return damaged_("has a damaged compressed stream");
      if (step.status == Status::end) stream_ended_ = true;
      if (step.status == Status::more && step.consumed == 0 && step.produced == 0) {
        if (input_ends) return damaged_("ends early");
        // A decoder that takes nothing from a full buffer would never move.
        if (begin_ == 0 && end_ == kChunk) return damaged_("has a damaged compressed stream");
        Result<void> filled = fill();  // the decoder wants more than is buffered
        if (!filled) return std::move(filled).take_error();
      }
    }
    return done;
  }

  // After the last record: the stream ends there, and its bytes with it.
  Result<void> finish() {
    unsigned char byte;
    Result<std::size_t> got = read(&byte, 1);
    if (!got) return std::move(got).take_error();
    if (*got != 0) return damaged_("has bytes after its last record");
    if (begin_ != end_ || left_ != 0) return damaged_("has bytes after a compressed stream");
    return support::success();
  }

 private:
  // Moves what is left to the front and reads more after it.
  Result<void> fill() {
    std::memmove(input_.get(), input_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    std::size_t wanted = kChunk - end_;
    if (wanted > left_) wanted = static_cast<std::size_t>(left_);
    std::size_t done = 0;
    while (done < wanted) {
      ssize_t n = support::retry_on_eintr([&] {
        return ::pread(fd_, input_.get() + end_ + done, wanted - done,
                       static_cast<off_t>(offset_ + done));
      });
      if (n < 0) return support::os_error(errno);
      if (n == 0) return damaged_("ends early");  // shorter than its header says
      done += static_cast<std::size_t>(n);
    }
    end_ += done;
    offset_ += done;
    left_ -= done;
    return support::success();
  }

  int fd_;
  std::uint64_t offset_;  // of the next byte to read
  std::uint64_t left_;    // bytes of the stream not read yet
  const Damage& damaged_;
  support::platform::XzDecoder decoder_;
  std::unique_ptr<unsigned char[]> input_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool stream_ended_ = false;
};

// Where the bytes of one part of a record come from.
struct Source {
  bool from_patch;
  bool from_old;  // both: their sum
  std::uint64_t old_offset;
};

// The old file's bytes, read a block at a time and kept in a small cache of
// blocks: a patch's records read the old file near where the ones before
// did, onwards and backwards (half of them within 4 KiB, nine in ten within
// 500 KiB, in real releases).
class OldFile {
 public:
  OldFile(int fd, std::uint64_t size)
      // Left uninitialised: only the blocks read are ever touched.
      : fd_(fd), size_(size), blocks_(new unsigned char[kBlocks * kBlock]) {
    held_.fill(kNone);
  }

  struct Span {
    const unsigned char* bytes;
    std::size_t size;
  };

  // Up to `size` bytes from `offset`, at least one. The caller checked the
  // range against the old file's size.
  Result<Span> at(std::uint64_t offset, std::size_t size) {
    const std::uint64_t block = offset / kBlock;
    const std::size_t slot = static_cast<std::size_t>(block % kBlocks);
    unsigned char* bytes = blocks_.get() + slot * kBlock;
    const std::uint64_t start = block * kBlock;
    const std::uint64_t left = size_ - start;
    const std::size_t length = left < kBlock ? static_cast<std::size_t>(left) : kBlock;
    if (held_[slot] != block) {
      held_[slot] = kNone;
      Result<void> read = pread_fully(fd_, bytes, length, start);
      if (!read) return std::move(read).take_error();
      held_[slot] = block;
    }
    const std::size_t within = static_cast<std::size_t>(offset - start);
    const std::size_t available = length - within;
    return Span{bytes + within, size < available ? size : available};
  }

 private:
  static constexpr std::size_t kBlock = 16 * 1024;
  static constexpr std::size_t kBlocks = 64;
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};

  int fd_;
  std::uint64_t size_;
  std::unique_ptr<unsigned char[]> blocks_;
  std::array<std::uint64_t, kBlocks> held_;  // which block each slot holds
};

// The new file is written a full buffer at a time, and hashed as it is
// written. Without that buffer, and the old file's cache, a patch of many
// short records took two system calls a record.
class Applier {
 public:
  Applier(int old_fd, std::uint64_t old_size, int new_fd, PatchStream& diff, PatchStream& extra,
          const Damage& damaged, format::WordRule rule)
      : old_(old_fd, old_size), new_fd_(new_fd), diff_(diff), extra_(extra), damaged_(damaged),
        words_(rule), new_bytes_(std::make_unique<unsigned char[]>(kChunk)) {}

  // Writes `size` bytes from `source` to the new file.
  Result<void> stream(Source source, std::uint64_t size) {
    const bool diff = source.from_patch && source.from_old;
    PatchStream& from = diff ? diff_ : extra_;
    if (diff) words_.start_run(size);
    while (size > 0) {
      if (used_ == kChunk) {
        Result<void> flushed = flush();
        if (!flushed) return flushed;
      }
      const std::size_t room = kChunk - used_;
      std::size_t chunk = size < room ? static_cast<std::size_t>(size) : room;
      unsigned char* out = new_bytes_.get() + used_;
      const unsigned char* old = nullptr;
      if (source.from_old) {
        Result<OldFile::Span> read = old_.at(source.old_offset, chunk);
        if (!read) return std::move(read).take_error();
        old = read->bytes;
        chunk = read->size;
        source.old_offset += chunk;
      }
      if (source.from_patch) {
        Result<std::size_t> got = from.read(out, chunk);
        if (!got) return std::move(got).take_error();
        if (*got < chunk) return damaged_("ends inside a record");
      } else {
        std::memcpy(out, old, chunk);
      }
      if (diff) {
        words_.add(out, old, chunk);
      } else {
        words_.pass(out, chunk);
      }
      used_ += chunk;
      size -= chunk;
    }
    return support::success();
  }

  // Writes what is buffered; the digest of everything written.
  Result<support::platform::Sha256Digest> finish() {
    Result<void> flushed = flush();
    if (!flushed) return std::move(flushed).take_error();
    return hasher_.finish();
  }

 private:
  Result<void> flush() {
    hasher_.update(new_bytes_.get(), used_);
    Result<void> written = write_fully(new_fd_, new_bytes_.get(), used_);
    used_ = 0;
    return written;
  }

  OldFile old_;
  int new_fd_;
  PatchStream& diff_;
  PatchStream& extra_;
  const Damage& damaged_;
  format::DiffWords words_;
  support::platform::Sha256 hasher_;
  std::unique_ptr<unsigned char[]> new_bytes_;  // written when full
  std::size_t used_ = 0;
};

}  // namespace

bool is_damaged_patch(const std::string& error) {
  return error.compare(0, kDamagedDelta.size(), kDamagedDelta) == 0;
}

Result<support::platform::Sha256Digest> apply_patch(int old_fd, std::uint64_t old_size,
                                                     int patch_fd, int new_fd,
                                                     std::uint64_t new_size,
                                                     std::string_view name) {
  const Damage damaged(name);
  struct stat status;
  if (::fstat(patch_fd, &status) != 0) return support::os_error(errno);
  const std::uint64_t patch_size = static_cast<std::uint64_t>(status.st_size);
  unsigned char bytes[format::kHeaderSize];
  Result<std::size_t> got = read_start(patch_fd, bytes, sizeof bytes);
  if (!got) return std::move(got).take_error();
  if (*got < sizeof bytes) return damaged("ends inside its header");
  if (std::memcmp(bytes, format::kMagic, sizeof format::kMagic) != 0)
    return damaged("does not begin with the magic word of this format");
  const format::Header header = format::read_header(bytes);
  if (header.new_size != new_size) {
    return damaged("makes " + std::to_string(header.new_size) +
                   " bytes where the manifest records " + std::to_string(new_size));
  }
  const unsigned rule = bytes[16];
  if (rule > static_cast<unsigned>(format::WordRule::x86))
    return damaged("has an unknown word rule " + std::to_string(rule));
  // The streams' lengths within the patch, checked before either is used.
  const std::uint64_t streams = patch_size > sizeof bytes ? patch_size - sizeof bytes : 0;
  if (header.records_length > streams || header.diff_length > streams - header.records_length)
    return damaged("ends early");

  PatchStream records(patch_fd, sizeof bytes, header.records_length, damaged);
  PatchStream diff(patch_fd, sizeof bytes + header.records_length, header.diff_length, damaged);
  const std::uint64_t extra_offset = sizeof bytes + header.records_length + header.diff_length;
  PatchStream extra(patch_fd, extra_offset, patch_size - extra_offset, damaged);
  Applier applier(old_fd, old_size, new_fd, diff, extra, damaged, header.rule);
  std::uint64_t new_left = new_size;
  std::uint64_t old_position = 0;
  while (new_left > 0) {
    unsigned char fields[format::kRecordSize];
    got = records.read(fields, sizeof fields);
    if (!got) return std::move(got).take_error();
    if (*got == 0) return damaged("ends before the declared size is written");
    if (*got < sizeof fields) return damaged("ends inside a record");
    const format::Record record = format::read_record(fields);

    // Every length against both files before any is used; differences of
    // known-ordered values only, so nothing can overflow. What the streams
    // still hold is found as they are read.
    std::uint64_t old_left = old_size - old_position;
    if (record.same > old_left || record.add > old_left - record.same)
      return damaged("reads past the end of the old file");
    if (record.same > new_left || record.add > new_left - record.same ||
        record.extra > new_left - record.same - record.add)
      return damaged("writes past the declared size");
    std::uint64_t moved_from = old_position + record.same + record.add;
    bool backwards = record.move >> 63 != 0;
    std::uint64_t distance = backwards ? ~record.move + 1 : record.move;
    if (backwards ? distance > moved_from : distance > old_size - moved_from)
      return damaged("moves the old position outside the old file");

    const Source parts[] = {
        {false, true, old_position}, {true, true, old_position + record.same}, {true, false, 0}};
    const std::uint64_t sizes[] = {record.same, record.add, record.extra};
    for (int part = 0; part < 3; ++part) {
      Result<void> written = applier.stream(parts[part], sizes[part]);
      if (!written) return std::move(written).take_error();
    }
    old_position = backwards ? moved_from - distance : moved_from + distance;
    new_left -= record.same + record.add + record.extra;
  }
  for (PatchStream* stream : {&records, &diff, &extra}) {
    Result<void> finished = stream->finish();
    if (!finished) return std::move(finished).take_error();
  }
  return applier.finish();
}

}  // namespace installer
