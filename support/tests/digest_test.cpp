#include "digest.h"

#include <stdio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "unique_fd.h"

namespace support {
namespace {

// Known answers (FIPS 180-2), read through a descriptor from its current
// offset, across more than one read chunk for the long one.
TEST(DigestTest, HashesWhatTheDescriptorHoldsFromItsOffset) {
  struct Case {
    std::string contents;
    long offset;
    const char* digest;
  } cases[] = {
      {"", 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"xxabc", 2, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'), 0,
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    FILE* file = tmpfile();
    ASSERT_NE(file, nullptr);
    UniqueFd fd(dup(fileno(file)));
    fclose(file);
    ASSERT_EQ(write(fd.get(), c.contents.data(), c.contents.size()),
              static_cast<ssize_t>(c.contents.size()));
    ASSERT_EQ(lseek(fd.get(), c.offset, SEEK_SET), c.offset);
    Result<Sha256Digest> digest = sha256_of_descriptor(fd.get());
    ASSERT_TRUE(digest) << digest.error();
    EXPECT_EQ(to_hex(*digest), c.digest);
  }
}

TEST(DigestTest, ReadsSixtyFourHexadecimalDigitsOfEitherCase) {
  const std::string lower = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  std::string upper = lower;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  for (const std::string& text : {lower, upper}) {
    std::optional<Sha256Digest> digest = digest_from_hex(text);
    ASSERT_TRUE(digest) << text;
    EXPECT_EQ(to_hex(*digest), lower);
  }
  for (const std::string& bad : {lower.substr(1), lower + "0", "g" + lower.substr(1),
                                 " " + lower.substr(1), std::string()}) {
    EXPECT_FALSE(digest_from_hex(bad)) << bad;
  }
}

}  // namespace
}  // namespace support
