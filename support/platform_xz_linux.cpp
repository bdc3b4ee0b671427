// Linux side of the platform layer's xz decoder: liblzma, the xz format's
// own library. Only the installer links it.
#include <lzma.h>

#include "platform.h"

namespace support::platform {

struct XzDecoder::State {
  lzma_stream stream = LZMA_STREAM_INIT;
  bool started = false;
  ~State() { lzma_end(&stream); }
};

XzDecoder::XzDecoder(std::size_t memory_limit) : state_(new State) {
  // One stream, nothing concatenated: bytes after it are the caller's.
  state_->started = lzma_stream_decoder(&state_->stream, memory_limit, 0) == LZMA_OK;
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
  lzma_stream& stream = state_->stream;
  stream.next_in = input;
  stream.avail_in = input_size;
  stream.next_out = output;
  stream.avail_out = output_size;
  lzma_ret result = lzma_code(&stream, input_ends ? LZMA_FINISH : LZMA_RUN);
  step.consumed = input_size - stream.avail_in;
  step.produced = output_size - stream.avail_out;
  switch (result) {
    case LZMA_OK:
    case LZMA_BUF_ERROR:  // no progress: the caller tells an early end
      step.status = Status::more;
      break;
    case LZMA_STREAM_END:
      step.status = Status::end;
      break;
    default:  // corrupt data or checks, unknown options, too much memory
      step.status = Status::damaged;
      break;
  }
  return step;
}

}  // namespace support::platform
