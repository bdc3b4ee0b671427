#include "utf8.h"

#include <gtest/gtest.h>

namespace support {
namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(LossyUtf8Test, ValidTextPassesUnchanged) {
  std::string text = "Zentrivale \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(lossy_utf8(text), text);
  EXPECT_TRUE(is_valid_utf8(text));
}

TEST(LossyUtf8Test, EachMaximalSubpartBecomesOneReplacement) {
  // Unicode's own example: 61 F1 80 80 E1 80 C2 62 80 63 80 BF 64.
  std::string bytes = "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64";
  EXPECT_EQ(lossy_utf8(bytes), "a" + kFFFD + kFFFD + kFFFD + "b" + kFFFD + "c" + kFFFD +
                                   kFFFD + "d");
  EXPECT_FALSE(is_valid_utf8(bytes));
}

TEST(LossyUtf8Test, RejectsOverlongsSurrogatesAndOutOfRange) {
  EXPECT_EQ(lossy_utf8("\xC0\xAF"), kFFFD + kFFFD);
  EXPECT_EQ(lossy_utf8("\xE0\x80\xAF"), kFFFD + kFFFD + kFFFD);
  EXPECT_EQ(lossy_utf8("\xED\xA0\x80"), kFFFD + kFFFD + kFFFD);
  EXPECT_EQ(lossy_utf8("\xF4\x90\x80\x80"), kFFFD + kFFFD + kFFFD + kFFFD);
  EXPECT_EQ(lossy_utf8("x\xE2\x82"), "x" + kFFFD);  // truncated at the end
  EXPECT_EQ(lossy_utf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(PrintableTest, EveryLineBreakingOrInvalidByteIsEscaped) {
  const struct {
    std::string bytes, shown;
  } cases[] = {
      {"Contents/MacOS/Zentrivale 2.0 \xC3\xA9\xF0\x9F\x98\x80", "Contents/MacOS/Zentrivale 2.0 \xC3\xA9\xF0\x9F\x98\x80"},
      {"2.0\n[update-helper] update installed successfully",
       "2.0\\n[update-helper] update installed successfully"},
      {"a\rb\tc\\d", "a\\rb\\tc\\\\d"},
      {std::string("nul\0\x1b[31m\x7f", 10), "nul\\x00\\x1b[31m\\x7f"},
      {"bad \xff\xfe and \xE2\x82 end", "bad \\xff\\xfe and \\xe2\\x82 end"},
      {"c1 \xC2\x85 ls \xE2\x80\xA8 ps \xE2\x80\xA9", "c1 \\u{0085} ls \\u{2028} ps \\u{2029}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(printable(c.bytes), c.shown) << c.shown;
    EXPECT_EQ(printable(c.bytes).find('\n'), std::string::npos);
  }
}

TEST(PrintableTest, BelowAGivenPathOnlyTheNamesAreEscaped) {
  // The given part keeps its backslash and shows invalid bytes as U+FFFD.
  EXPECT_EQ(printable_below("/A\\pps\xff", "/A\\pps\xff/x\ny\\z"),
            "/A\\pps\xEF\xBF\xBD/x\\ny\\\\z");
  EXPECT_EQ(printable_below("/Apps", "/Other/a\nb"), "/Other/a\\nb");
  EXPECT_EQ(printable_below("/Apps", "/Apps"), "/Apps");
}

TEST(AppendUtf8Test, EncodesEachLength) {
  std::string out;
  for (char32_t c : {U'A', U'\u00E9', U'\u20AC', U'\U0001F600', U'\U0010FFFF'}) append_utf8(out, c);
  EXPECT_EQ(out, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
}

TEST(WhiteSpaceTest, TrimsEveryUnicodeWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trim_unicode_white_space(" \t\r\n\v\f com.example.app \xC2\x85\xC2\xA0"),
            "com.example.app");
  EXPECT_EQ(trim_unicode_white_space("\xE3\x80\x80" "a b" "\xE2\x80\xA8\xE2\x80\xAF"), "a b");
  EXPECT_EQ(trim_unicode_white_space("\xE1\x9A\x80\xE2\x80\x8A\xE2\x81\x9F"), "");
  // U+200B ZERO WIDTH SPACE is not white space.
  EXPECT_EQ(trim_unicode_white_space("\xE2\x80\x8B"), "\xE2\x80\x8B");
  EXPECT_EQ(trim_unicode_white_space(""), "");
}

}  // namespace
}  // namespace support
