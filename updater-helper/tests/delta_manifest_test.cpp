#include "delta_manifest.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "digest.h"
#include "platform.h"

namespace {

using installer::DeltaEntry;
using installer::DeltaManifest;
using Kind = DeltaEntry::Kind;
using Source = DeltaEntry::Source;

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

DeltaEntry entry(Kind kind, const std::string& path) {
  DeltaEntry e;
  e.kind = kind;
  e.path = path;
  e.mode = kind == Kind::symlink ? 0 : 0755;
  return e;
}

DeltaEntry file(const std::string& path, Source source, unsigned char fill) {
  DeltaEntry e = entry(Kind::file, path);
  e.mode = 0640;
  e.size = 12345678901;
  e.sha256.fill(fill);
  e.source = source;
  return e;
}

TEST(DeltaManifest, EveryKindOfEntryAndOddNamesSurviveTheRoundTrip) {
  DeltaManifest manifest;
  manifest.base_version = "1.0 (42)";
  manifest.new_version = "\xff" "2.0:3 4";
  manifest.entries.push_back(entry(Kind::directory, "Contents"));
  manifest.entries.push_back(entry(Kind::directory, "Contents/a name with spaces"));
  manifest.entries.push_back(entry(Kind::directory, "Contents/line\nfeed"));
  manifest.entries.back().mode = 0;
  DeltaEntry versions = entry(Kind::symlink, "Contents/line\nfeed/Current");
  versions.link_target = "../a name with spaces/./x";
  manifest.entries.push_back(versions);
  manifest.entries.push_back(file("Contents/\xfe\xff not utf-8", Source::added, 1));
  manifest.entries.push_back(file("Contents/a name with spaces/12:3 4", Source::kept, 2));
  DeltaEntry patched = file("Contents/line\nfeed/patched", Source::patched, 3);
  patched.mode = 0777;
  patched.base_path = "Contents/old name\n\xc0";
  patched.base_sha256.fill(4);
  manifest.entries.push_back(patched);
  manifest.entries.push_back(file("Contents/empty", Source::added, 5));
  manifest.entries.back().size = 0;

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
      {"zentrivale-delta 01\n", "the format version of the header is not a number"},
      {valid.substr(0, 30), "it is truncated"},
      {valid.substr(0, valid.size() - 1), "it is truncated"},
      {valid + "\n", "it has bytes after its checksum"},
      {other_checksum, "its checksum does not match its content"},
      {manifest_of({}, ""), "the base version is empty"},
      {manifest_of({}, "1.0", "2\n0"), "the new version holds a line feed"},
      {sealed("zentrivale-delta 1\nbase 1:1\nnew 1:2\nentries 2000001\n"),
       "the entry count of the header is beyond 2000000"},
      {manifest_of({"x " + counted("Contents") + " 0755"}), "the kind of entry 1 is unknown"},
      {manifest_of({"d 8:Contents\t0755"}), "entry 1 is malformed"},
      {manifest_of({"d 08:Contents 0755"}), "the path length of entry 1 is not a number"},
      {manifest_of({"d 99999999999999999999999:Contents 0755"}),
       "the path length of entry 1 is not a number"},
      {manifest_of({directory("Contents", "0759")}),
       "the mode of entry 1 is not four octal digits"},
      {manifest_of({directory("Contents", "4755")}), "the mode of entry 1 is above 0777"},
      {manifest_of({directory("Contents", "1777")}), "the mode of entry 1 is above 0777"},
      {manifest_of({added("f", "-1")}), "the size of entry 1 is not a number"},
      {manifest_of({added("f", "1099511627777")}), "the size of entry 1 is beyond 1099511627776"},
      {manifest_of({added("f", "3", std::string(64, 'A'))}),
       "the digest of entry 1 is not 64 lower-case hexadecimal digits"},
      {manifest_of({directory("")}), "the path of entry 1 is empty"},
      {manifest_of({directory("/Contents")}), "the path /Contents is absolute"},
      {manifest_of({directory("Contents"), directory("Contents/")}),
       "the path Contents/ has an empty component"},
      {manifest_of({directory("Contents"), directory("Contents//x")}),
       "the path Contents//x has an empty component"},
      {manifest_of({directory("Contents"), directory("Contents/..")}),
       "the path Contents/.. has a \".\" or \"..\" component"},
      {manifest_of({directory(".")}), "the path . has a \".\" or \"..\" component"},
      {manifest_of({directory(std::string("Con\0tents", 9))}),
       "the path of entry 1 holds a NUL byte"},
      {manifest_of({directory("Contents"), directory("Contents")}), "Contents is listed twice"},
      {manifest_of({directory("Contents"), added("Contents/MacOS/x")}),
       "Contents/MacOS/x is not below a directory listed before it"},
      {manifest_of({link("Contents", "."), added("Contents/x")}),
       "Contents/x has a link on the way"},
      {manifest_of({added("Contents"), directory("Contents/x")}), "Contents/x is below a file"},
      {manifest_of({link("l", "")}), "the link l has an empty target"},
      {manifest_of({link("l", "/Applications")}), "the link l has an absolute target"},
      {manifest_of({link("l", std::string("a\0b", 3))}),
       "the link l has a target holding a NUL byte"},
      {manifest_of({directory("Contents"), link("Contents/l", "../../x")}),
       "the link Contents/l has a target above the bundle"},
      {manifest_of({directory("Contents"), link("Contents/l", "a/../..")}),
       "the link Contents/l has a target that climbs after a name"},
      {manifest_of({"p " + counted("f") + " 0644 3 " + kHex + " " + counted("../f") + " " + kHex}),
       "the base path of f has a \".\" or \"..\" component"},
      {manifest_of({"p " + counted("f") + " 0644 3 " + kHex + " " + counted("") + " " + kHex}),
       "the base path of f is empty"},
  };
  for (const auto& c : cases) {
    support::Result<DeltaManifest> parsed = installer::parse_delta_manifest(c.bytes);
    ASSERT_FALSE(parsed) << c.message;
    EXPECT_EQ(parsed.error(), c.message);
  }
  // The table's own baseline: the manifest the cases start from is valid.
  support::Result<DeltaManifest> parsed = installer::parse_delta_manifest(valid);
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(parsed->entries.size(), 2u);
}

}  // namespace
