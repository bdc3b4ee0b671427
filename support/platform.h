// Everything that differs between macOS and Linux, behind one interface.
// Implemented once per OS: platform_macos.cpp and platform_linux.cpp,
// Sha256 in platform_sha256_macos.cpp and platform_sha256_linux.cpp (the
// library support_sha256, which the launcher does not link), and XzDecoder
// in platform_xz_macos.cpp and platform_xz_linux.cpp (the library
// support_xz, which only the installer links).
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "result.h"
#include "unique_fd.h"

namespace support::platform {

// The running program's path as the system reports it, not canonicalised.
Result<std::string> executable_path();

// Atomically exchanges the directory entries `a` and `b`. Returns 0, or the
// error number when the system refuses (unsupported volume, missing entry, ...).
int exchange(const char* a, const char* b);

// When the process `pid` started, as the system keeps it (clock ticks since
// boot on Linux, microseconds since 1970 on macOS): with the process ID it
// tells that process from any later one given the same ID. Nothing when no
// process of that ID runs (one that has ended but is not yet reaped does not
// run) or the system does not say.
std::optional<uint64_t> process_start_time(pid_t pid);

// The symbolic name of a signal ("SIGKILL"), or nullptr when it has none.
const char* signal_name(int signal);

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

// A pipe whose two ends are close-on-exec.
Result<Pipe> cloexec_pipe();

// An IPv4 TCP socket, non-blocking and close-on-exec.
Result<UniqueFd> nonblocking_tcp_socket();

// The quarantine attribute that downloads carry: "com.apple.quarantine" on
// macOS; on Linux, where programs may set only the user namespace,
// "user.com.apple.quarantine".
extern const char* const kQuarantineAttribute;

// Removes the extended attribute `name` from the open file `fd`. Yields true
// when it was removed, false when the file had none of that name (or its
// volume has no extended attributes). Error: the system's.
Result<bool> remove_extended_attribute(int fd, const char* name);

// Removes the extended attribute `name` from the symbolic link `link` in the
// directory open at `directory`: from the link itself, never from what it
// points to. Yields true when it was removed, false when the link had none
// of that name. On Linux, where links cannot carry attributes of the user
// namespace, always false. Error: the system's.
Result<bool> remove_link_extended_attribute(int directory, const char* link, const char* name);

// The names of the extended attributes of the open file `fd`. Error: the
// system's.
Result<std::vector<std::string>> extended_attribute_names(int fd);

// Makes `dst_name` in `dst_dir_fd` a copy-on-write clone of the open regular
// file `src_fd`, without its owner. Returns 0, or the error number: ENOTSUP
// where the volume (or the system) cannot clone, EXDEV across volumes, EEXIST
// when something is already at `dst_name`.
int clone_file(int src_fd, int dst_dir_fd, const char* dst_name);

// Copies the bytes of the open regular file `src_fd`, from its start, to
// the start of the empty file `dst_fd` open for writing, inside the system
// where it can (copy_file_range on Linux, which shares the blocks where the
// volume can). Returns 0, or the error number: ENOTSUP where the system
// cannot copy these files itself before it has written a byte, which the
// caller then copies.
int copy_file_data(int src_fd, int dst_fd);

using Sha256Digest = std::array<unsigned char, 32>;

// SHA-256 from the system: CommonCrypto on macOS, Nettle on Linux.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, std::size_t size);
  // The digest of everything given; the hasher is spent afterwards.
  Sha256Digest finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Decodes one .xz stream (LZMA2 in the xz container, the one form of LZMA
// that macOS's Compression library reads): that library on macOS, liblzma on
// Linux. Memory is the stream's dictionary and some fixed state, whatever
// the stream's length. Bytes after the stream's end are not its own.
class XzDecoder {
 public:
  enum class Status {
    more,     // give it more input, or more room for output
    end,      // the stream is complete and checked
    damaged,  // not an xz stream this decoder reads, or corrupt
  };
  struct Step {
    std::size_t consumed = 0;  // bytes taken from the input
    std::size_t produced = 0;  // bytes written to the output
    Status status = Status::more;
  };

  // `memory_limit` bounds the dictionary a stream may ask for where the
  // system lets it be bounded (liblzma): a larger one is `damaged`. The
  // Compression library has no such bound.
  explicit XzDecoder(std::size_t memory_limit);
  ~XzDecoder();
  XzDecoder(const XzDecoder&) = delete;
  XzDecoder& operator=(const XzDecoder&) = delete;

  // Decodes from `input` into `output`. `input_ends`: no input follows
  // what is given. A step with no progress that is not `end`, at the end of
  // the input, means that the stream was cut short.
  Step decode(const unsigned char* input, std::size_t input_size, bool input_ends,
              unsigned char* output, std::size_t output_size);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace support::platform
