// The applier of a delta update's patches: streaming, from the installed
// file, in fixed memory. The new file is written strictly in order, the old
// file and the patch read at offsets only; the patch's three streams are
// decoded side by side as the records need their bytes.

#include "delta_patch.h"

#include <sys/stat.h>
#include <unistd.h>

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

class Applier {
 public:
  Applier(int old_fd, int new_fd, PatchStream& diff, PatchStream& extra, const Damage& damaged,
          format::WordRule rule)
      : old_fd_(old_fd), new_fd_(new_fd), diff_(diff), extra_(extra), damaged_(damaged),
        words_(rule), buffers_(std::make_unique<unsigned char[]>(2 * kChunk)) {}

  // Writes `size` bytes from `source` to the new file.
  Result<void> stream(Source source, std::uint64_t size) {
    unsigned char* patch_bytes = buffers_.get();
    unsigned char* old_bytes = buffers_.get() + kChunk;
    const bool diff = source.from_patch && source.from_old;
    PatchStream& from = diff ? diff_ : extra_;
    if (diff) words_.start_run(size);
    while (size > 0) {
      std::size_t chunk = size < kChunk ? static_cast<std::size_t>(size) : kChunk;
      if (source.from_patch) {
        Result<std::size_t> got = from.read(patch_bytes, chunk);
        if (!got) return std::move(got).take_error();
        if (*got < chunk) return damaged_("ends inside a record");
      }
      if (source.from_old) {
        Result<void> read = pread_fully(old_fd_, old_bytes, chunk, source.old_offset);
        if (!read) return read;
        source.old_offset += chunk;
      }
      const unsigned char* out = source.from_patch ? patch_bytes : old_bytes;
      if (diff) {
        words_.add(patch_bytes, old_bytes, chunk);
      } else {
        words_.pass(out, chunk);
      }
      Result<void> written = write_fully(new_fd_, out, chunk);
      if (!written) return written;
      size -= chunk;
    }
    return support::success();
  }

 private:
  int old_fd_;
  int new_fd_;
  PatchStream& diff_;
  PatchStream& extra_;
  const Damage& damaged_;
  format::DiffWords words_;
  std::unique_ptr<unsigned char[]> buffers_;  // the patch's bytes and the old file's
};

}  // namespace

bool is_damaged_patch(const std::string& error) {
  return error.compare(0, kDamagedDelta.size(), kDamagedDelta) == 0;
}

Result<void> apply_patch(int old_fd, std::uint64_t old_size, int patch_fd, int new_fd,
                         std::uint64_t new_size, std::string_view name) {
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
  Applier applier(old_fd, new_fd, diff, extra, damaged, header.rule);
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
      if (!written) return written;
    }
    old_position = backwards ? moved_from - distance : moved_from + distance;
    new_left -= record.same + record.add + record.extra;
  }
  for (PatchStream* stream : {&records, &diff, &extra}) {
    Result<void> finished = stream->finish();
    if (!finished) return finished;
  }
  return support::success();
}

}  // namespace installer
