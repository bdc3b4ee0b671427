// The platform layer's xz decoder on a stream made by the xz tool
// (xz --check=crc32 --lzma2=preset=9,dict=1MiB): whole, in small steps, cut
// short, corrupt, followed by other bytes, and asking for a dictionary beyond
// the decoder's limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "platform.h"

namespace {

using support::platform::XzDecoder;
using Status = XzDecoder::Status;

// What the stream holds: 1,000 numbered lines.
std::string sample() {
  std::string text;
  char line[32];
  for (int i = 0; i < 1000; ++i) {
    std::snprintf(line, sizeof line, "zentrivale %04d\n", i % 50);
    text += line;
  }
  return text;
}

const std::vector<unsigned char> kStream = {
    0xfd, 0x37, 0x7a, 0x58, 0x5a, 0x00, 0x00, 0x01, 0x69, 0x22, 0xde, 0x36,
    0x02, 0x00, 0x21, 0x01, 0x10, 0x00, 0x00, 0x00, 0xa8, 0x70, 0x8e, 0x86,
    0xe0, 0x3e, 0x7f, 0x00, 0x8d, 0x5d, 0x00, 0x3d, 0x19, 0x4a, 0x22, 0x4e,
    0xe6, 0x54, 0x57, 0x6d, 0xe9, 0xdc, 0xa6, 0xce, 0x2e, 0x7b, 0xdc, 0xa7,
    0x38, 0xae, 0xb7, 0x08, 0xbe, 0x5c, 0xe3, 0xd7, 0xa4, 0x7c, 0x57, 0x18,
    0x7f, 0x51, 0x4e, 0x75, 0x59, 0xc9, 0xb1, 0x55, 0x60, 0x01, 0x0d, 0xe2,
    0x81, 0x71, 0xce, 0x3a, 0xbb, 0x9d, 0xb0, 0x88, 0x27, 0x3f, 0xa2, 0x7c,
    0xa2, 0x59, 0x65, 0x73, 0xf5, 0x1f, 0xd8, 0x0f, 0x0a, 0x82, 0xff, 0x98,
    0xa3, 0x7a, 0xc6, 0x22, 0xe5, 0x53, 0x08, 0x1a, 0x09, 0xd9, 0x65, 0x3d,
    0x9e, 0x7b, 0x85, 0x14, 0x70, 0x7d, 0xaa, 0x62, 0x74, 0x51, 0xcf, 0xed,
    0x20, 0x8e, 0xbe, 0x7f, 0x5b, 0x6a, 0x88, 0xaf, 0xb2, 0x1b, 0x1b, 0xeb,
    0x8a, 0xb6, 0x7b, 0xa4, 0x8c, 0xbe, 0x99, 0xb1, 0x63, 0x6d, 0x3d, 0x28,
    0x6e, 0xf9, 0xa2, 0x24, 0x0a, 0x4b, 0xd8, 0x93, 0x20, 0xf8, 0xc1, 0x47,
    0xa9, 0xc8, 0xb1, 0x1b, 0xfd, 0x2c, 0x9a, 0xf5, 0x97, 0x3e, 0xec, 0x4f,
    0xec, 0xa5, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xae, 0x42, 0xe7, 0x47,
    0x00, 0x01, 0xa5, 0x01, 0x80, 0x7d, 0x00, 0x00, 0x08, 0x30, 0x94, 0x06,
    0x3e, 0x30, 0x0d, 0x8b, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x59, 0x5a,
};

// The same stream with a block header that asks for a 1.5 GiB dictionary
// (its dictionary byte and its CRC32, as xz --lzma2=dict=1536MiB writes it).
std::vector<unsigned char> with_huge_dictionary() {
  std::vector<unsigned char> stream = kStream;
  const unsigned char header_end[] = {0x25, 0x00, 0x00, 0x00, 0x3b, 0x78, 0x7b, 0x41};
  std::copy(std::begin(header_end), std::end(header_end), stream.begin() + 16);
  return stream;
}

constexpr std::size_t kLimit = 32u << 20;

struct Decoded {
  std::string bytes;
  Status status = Status::more;
  std::size_t unread = 0;  // input left once the decoder stopped
};

// Feeds `input` in steps of `in_step` bytes with `out_step` bytes of room,
// until the stream ends, is damaged, or a step at the end makes no progress.
Decoded decode(const std::vector<unsigned char>& input, std::size_t in_step,
               std::size_t out_step) {
  XzDecoder decoder(kLimit);
  Decoded out;
  std::vector<unsigned char> room(out_step);
  std::size_t at = 0;
  for (;;) {
    std::size_t given = std::min(in_step, input.size() - at);
    bool ends = at + given == input.size();
    XzDecoder::Step step =
        decoder.decode(input.data() + at, given, ends, room.data(), room.size());
    at += step.consumed;
    out.bytes.append(reinterpret_cast<const char*>(room.data()), step.produced);
    out.status = step.status;
    if (step.status != Status::more || (ends && step.consumed == 0 && step.produced == 0)) break;
  }
  out.unread = input.size() - at;
  return out;
}

TEST(XzDecoder, DecodesWholeStreamsAndTellsDamageAndEarlyEnds) {
  const std::string text = sample();
  std::vector<unsigned char> cut(kStream.begin(), kStream.begin() + kStream.size() / 2);
  std::vector<unsigned char> no_footer(kStream.begin(), kStream.end() - 12);
  std::vector<unsigned char> corrupt = kStream;
  corrupt[60] ^= 0x40;
  std::vector<unsigned char> followed = kStream;
  followed.insert(followed.end(), {'m', 'o', 'r', 'e'});
  std::vector<unsigned char> not_xz(kStream.begin() + 1, kStream.end());
  struct Case {
    const char* name;
    std::vector<unsigned char> input;
    std::size_t in_step, out_step;
    Status status;
    std::size_t unread;  // where the stream ends
  } cases[] = {
      {"whole", kStream, 65536, 65536, Status::end, 0},
      {"byte_by_byte", kStream, 1, 1, Status::end, 0},
      {"little_room_for_output", kStream, 65536, 7, Status::end, 0},
      {"followed_by_other_bytes", followed, 65536, 65536, Status::end, 4},
      {"cut_short", cut, 65536, 65536, Status::more, 0},
      {"cut_in_its_footer", no_footer, 65536, 65536, Status::more, 0},
      {"corrupt", corrupt, 65536, 65536, Status::damaged, 0},
      {"not_an_xz_stream", not_xz, 65536, 65536, Status::damaged, 0},
      {"empty", {}, 65536, 65536, Status::more, 0},
  };
  EXPECT_LT(decode(cut, 65536, 65536).bytes.size(), text.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoded got = decode(c.input, c.in_step, c.out_step);
    EXPECT_EQ(got.status, c.status);
    if (c.status == Status::end) {
      EXPECT_TRUE(got.bytes == text) << got.bytes.size() << " bytes";
      EXPECT_EQ(got.unread, c.unread);
    } else if (c.status == Status::more) {  // cut: what came out is a true beginning
      EXPECT_EQ(got.bytes, text.substr(0, got.bytes.size()));
    }
  }
}

TEST(XzDecoder, RefusesADictionaryBeyondItsLimitWhereTheSystemBoundsIt) {
  Decoded got = decode(with_huge_dictionary(), 65536, 65536);
#ifdef __APPLE__
  EXPECT_EQ(got.status, Status::end);  // the Compression library has no bound
#else
  EXPECT_EQ(got.status, Status::damaged);
  EXPECT_EQ(got.bytes, "");
#endif
}

}  // namespace
