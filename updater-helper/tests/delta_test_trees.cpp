#include "delta_test_trees.h"

#include <sys/stat.h>

#include <stdexcept>

#include "files.h"
#include "platform.h"

namespace delta_test {

static support::Sha256Digest digest_of(const std::string& bytes) {
  support::platform::Sha256 hasher;
  hasher.update(bytes.data(), bytes.size());
  return hasher.finish();
}

installer::DeltaEntry entry_of(const Item& item) {
  installer::DeltaEntry entry;
  entry.kind = item.kind;
  entry.path = item.path;
  entry.mode = item.mode;
  if (item.kind == Kind::symlink) entry.link_target = item.data;
  if (item.kind != Kind::file) return entry;
  entry.size = item.data.size();
  entry.sha256 = digest_of(item.data);
  entry.source = item.source;
  if (item.source != Source::patched) return entry;
  entry.base_path = item.base_path.empty() ? item.path : item.base_path;
  entry.base_sha256 = digest_of(item.old_data);
  return entry;
}

void make_trees(Trees& trees, const std::vector<Item>& items, PatchMaker patch) {
  using test_support::write_file;
  for (const std::string& root : {trees.installed, trees.staged, trees.expected}) {
    test_support::make_dir(root);  // parents of files come with them
  }
  for (const Item& item : items) {
    trees.manifest.entries.push_back(entry_of(item));
    const std::string& base = trees.manifest.entries.back().base_path;
    std::string in_expected = trees.expected + "/" + item.path;
    if (item.kind == Kind::directory) test_support::make_dir(in_expected);
    if (item.kind == Kind::symlink) test_support::make_symlink(item.data, in_expected);
    if (item.kind != Kind::file) continue;
    write_file(in_expected, item.data, item.mode);
    if (item.source == Source::added) write_file(trees.staged + "/" + item.path, item.data);
    if (item.source == Source::kept) write_file(trees.installed + "/" + item.path, item.data, 0600);
    if (item.source == Source::patched) {
      write_file(trees.installed + "/" + base, item.old_data);
      write_file(trees.staged + "/" + item.path, patch(item.old_data, item.data));
    }
  }
  // Modes last, children first: a mode may shut the writer out.
  for (auto item = items.rbegin(); item != items.rend(); ++item) {
    std::string path = trees.expected + "/" + item->path;
    if (item->kind == Kind::directory && ::chmod(path.c_str(), item->mode) != 0) {
      throw std::runtime_error("chmod " + path);
    }
  }
}

}  // namespace delta_test
