// macOS side of the platform layer's xz decoder: the Compression library
// (libcompression, since macOS 10.11), whose COMPRESSION_LZMA reads LZMA2 in
// the xz container. The one library besides libSystem that the installer
// imports.
#if __has_include(<compression.h>)
#include <compression.h>
#else
// The SDK that the check build cross-compiles with lacks the header: its
// declarations as Apple's documentation gives them.
#include <cstddef>
#include <cstdint>
extern "C" {
typedef enum { COMPRESSION_LZMA = 0x306 } compression_algorithm;
typedef enum { COMPRESSION_STREAM_ENCODE = 0, COMPRESSION_STREAM_DECODE = 1 }
    compression_stream_operation;
typedef enum { COMPRESSION_STREAM_FINALIZE = 0x0001 } compression_stream_flags;
typedef enum {
  COMPRESSION_STATUS_OK = 0,
  COMPRESSION_STATUS_ERROR = -1,
  COMPRESSION_STATUS_END = 1
} compression_status;
typedef struct {
  uint8_t* dst_ptr;
  size_t dst_size;
  const uint8_t* src_ptr;
  size_t src_size;
  void* state;
} compression_stream;
compression_status compression_stream_init(compression_stream* stream,
                                           compression_stream_operation operation,
                                           compression_algorithm algorithm);
compression_status compression_stream_process(compression_stream* stream, int flags);
compression_status compression_stream_destroy(compression_stream* stream);
}
#endif

#include "platform.h"

namespace support::platform {

struct XzDecoder::State {
  compression_stream stream{};
  bool started = false;
  ~State() {
    if (started) compression_stream_destroy(&stream);
  }
};

XzDecoder::XzDecoder(std::size_t /*memory_limit*/) : state_(new State) {
  state_->started = compression_stream_init(&state_->stream, COMPRESSION_STREAM_DECODE,
                                            COMPRESSION_LZMA) == COMPRESSION_STATUS_OK;
}

XzDecoder::~XzDecoder() = default;

XzDecoder::Step XzDecoder::decode(const unsigned char* input, std::size_t input_size,
                                  bool input_ends, unsigned char* output,
                                  std::size_t output_size) {
  Step step;
  if (!state_->started) {
    step.status = Status::damaged;
    return step;
  }
  compression_stream& stream = state_->stream;
  stream.src_ptr = input;
  stream.src_size = input_size;
  stream.dst_ptr = output;
  stream.dst_size = output_size;
  compression_status result =
      compression_stream_process(&stream, input_ends ? COMPRESSION_STREAM_FINALIZE : 0);
  step.consumed = input_size - stream.src_size;
  step.produced = output_size - stream.dst_size;
  switch (result) {
    case COMPRESSION_STATUS_OK:
      step.status = Status::more;
      break;
    case COMPRESSION_STATUS_END:
      step.status = Status::end;
      break;
    default:
      step.status = Status::damaged;
      break;
  }
  return step;
}

}  // namespace support::platform
