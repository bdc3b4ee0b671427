#include "delta_manifest.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "delta_test_trees.h"
#include "digest.h"
#include "platform.h"

namespace {

using installer::DeltaManifest;

const std::string kHex(64, 'a');

std::string counted(const std::string& text) { return std::to_string(text.size()) + ":" + text; }

// `body` closed by its checksum line, as the serializer writes it.
std::string sealed(const std::string& body) {
  support::platform::Sha256 hasher;
  hasher.update(body.data(), body.size());
  return body + "sha256 " + support::to_hex(hasher.finish()) + "\n";
}

std::string manifest_of(const std::vector<std::string>& records, const std::string& base = "1.0",
                        const std::string& next = "2.0") {
  std::string body = "zentrivale-delta 1\nbase " + counted(base) + "\nnew " + counted(next) +
                     "\nentries " + std::to_string(records.size()) + "\n";
  for (const std::string& record : records) body += record + "\n";
  return sealed(body);
}

std::string directory(const std::string& path, const std::string& mode = "0755") {
  return "d " + counted(path) + " " + mode;
}
std::string link(const std::string& path, const std::string& target) {
  return "l " + counted(path) + " " + counted(target);
}
std::string added(const std::string& path, const std::string& size = "3",
                  const std::string& digest = kHex) {
  return "a " + counted(path) + " 0644 " + size + " " + digest;
}

TEST(DeltaManifest, EveryKindOfEntryAndOddNamesSurviveTheRoundTrip) {
  namespace t = delta_test;
  DeltaManifest manifest{"1.0 (42)", "\xff" "2.0:3 4", {}};
  for (const t::Item& item : {t::directory("Contents"), t::directory("Contents/a name"),
                              t::directory("Contents/line\nfeed", 0),
                              t::symbolic_link("Contents/line\nfeed/Current", "../a name/./x"),
                              t::added("Contents/\xfe\xff not utf-8", "new", 0640),
                              t::kept("Contents/a name/12:3 4", ""),
                              t::patched("Contents/line\nfeed/p", "old", "new", 0777,
                                         "Contents/old\n\xc0")}) {
    manifest.entries.push_back(t::entry_of(item));
  }
  std::string bytes = installer::serialize_delta_manifest(manifest);
  support::Result<DeltaManifest> parsed = installer::parse_delta_manifest(bytes);
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_TRUE(*parsed == manifest);
  EXPECT_EQ(installer::serialize_delta_manifest(*parsed), bytes);
}

TEST(DeltaManifest, RefusesWhatIsMalformedOrLeadsOutside) {
  const std::string valid = manifest_of({directory("Contents"), added("Contents/f")});
  std::string other_checksum = valid;
  other_checksum[other_checksum.size() - 2] ^= 1;
  std::string version_2 = valid;
  version_2[17] = '2';
  const struct {
    std::string bytes;
    std::string message;
  } cases[] = {
      {"PK\3\4", "it does not begin with \"zentrivale-delta \""},
      {version_2, "its format version 2 is unknown"},
      {valid.substr(0, valid.size() - 1), "it is truncated"},
      {valid + "\n", "it has bytes after its checksum"},
      {other_checksum, "its checksum does not match its content"},
      {manifest_of({}, ""), "the base version is empty"},
      {manifest_of({}, "1.0", "2\n0"), "the new version holds a line feed"},
      {sealed("zentrivale-delta 1\nbase 1:1\nnew 1:2\nentries 1000001\n"),
       "the entry count of the header is beyond 1000000"},
      // The checksum vouches for the bytes before anything else is read.
      {other_checksum.substr(0, 30) + "x" + other_checksum.substr(31),
       "its checksum does not match its content"},
      {sealed("zentrivale-delta 1\nbase 1:1\nnew 1:2\nentries 1\n" + directory("a") + "\n" +
              directory("b") + "\n"),
       "it has bytes between its entries and its checksum"},
      {valid.substr(0, valid.size() - 2) + "A\n", "the checksum line is malformed"},
      // Names are escaped wherever a message shows them.
      {manifest_of({directory("a\n[1] update installed successfully"),
                    directory("a\n[1] update installed successfully")}),
       "a\\n[1] update installed successfully is listed twice"},
      {manifest_of({directory("x\x1b[2J\r\xff"), directory("x\x1b[2J\r\xff/..")}),
       "the path x\\x1b[2J\\r\\xff/.. has a \".\" or \"..\" component"},
      {manifest_of({"d 08:Contents 0755"}), "the path length of entry 1 is not a number"},
      {manifest_of({directory("Contents", "4755")}), "the mode of entry 1 is above 0777"},
      {manifest_of({added("f", "1099511627777")}), "the size of entry 1 is beyond 1099511627776"},
      {manifest_of({added("f", "3", std::string(64, 'A'))}),
       "the digest of entry 1 is not 64 lower-case hexadecimal digits"},
      {manifest_of({directory("")}), "the path of entry 1 is empty"},
      {manifest_of({directory("/Contents")}), "the path /Contents is absolute"},
      {manifest_of({directory("a"), directory("a//x")}), "the path a//x has an empty component"},
      {manifest_of({directory("a"), directory("a/..")}),
       "the path a/.. has a \".\" or \"..\" component"},
      {manifest_of({directory(std::string("a\0b", 3))}), "the path of entry 1 holds a NUL byte"},
      {manifest_of({directory("a"), directory("a")}), "a is listed twice"},
      {manifest_of({directory("a"), added("a/b/c")}),
       "a/b/c is not below a directory listed before it"},
      {manifest_of({link("a", "."), added("a/x")}), "a/x has a link on the way"},
      {manifest_of({link("l", "/Applications")}), "the link l has an absolute target"},
      {manifest_of({directory("a"), link("a/l", "../../x")}),
       "the link a/l has a target above the bundle"},
      {manifest_of({directory("a"), link("a/l", "b/../..")}),
       "the link a/l has a target that climbs after a name"},
      {manifest_of({"p " + counted("f") + " 0644 3 " + kHex + " " + counted("/f") + " " + kHex}),
       "the base path of f is absolute"},
  };
  for (const auto& c : cases) {
    support::Result<DeltaManifest> parsed = installer::parse_delta_manifest(c.bytes);
    EXPECT_EQ(parsed ? "no error" : parsed.error(), c.message);
  }
  EXPECT_TRUE(installer::parse_delta_manifest(valid));  // the cases' starting point
}

}  // namespace
