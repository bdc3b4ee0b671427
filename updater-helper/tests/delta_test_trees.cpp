#include "delta_test_trees.h"

#include <sys/stat.h>

#include <stdexcept>

#include "files.h"
#include "platform.h"

namespace delta_test {
namespace {

support::Sha256Digest digest_of(const std::string& bytes) {
  support::platform::Sha256 hasher;
  hasher.update(bytes.data(), bytes.size());
  return hasher.finish();
}

installer::DeltaEntry entry_of(const Item& item) {
  installer::DeltaEntry entry;
  entry.kind = item.kind;
  entry.path = item.path;
  if (item.kind == Kind::symlink) {
    entry.link_target = item.data;
    return entry;
  }
  entry.mode = item.mode;
  if (item.kind == Kind::directory) return entry;
  entry.size = item.data.size();
  entry.sha256 = digest_of(item.data);
  entry.source = item.source;
  if (item.source == Source::patched) {
    entry.base_path = item.base_path.empty() ? item.path : item.base_path;
    entry.base_sha256 = digest_of(item.old_data);
  }
  return entry;
}

Item item(Kind kind, const std::string& path, unsigned mode, const std::string& data,
          Source source = Source::added) {
  Item made;
  made.kind = kind;
  made.path = path;
  made.mode = mode;
  made.data = data;
  made.source = source;
  return made;
}

}  // namespace

Item directory(const std::string& path, unsigned mode) {
  return item(Kind::directory, path, mode, {});
}
Item link(const std::string& path, const std::string& target) {
  return item(Kind::symlink, path, 0, target);
}
Item added(const std::string& path, const std::string& data, unsigned mode) {
  return item(Kind::file, path, mode, data);
}
Item kept(const std::string& path, const std::string& data, unsigned mode) {
  Item made = item(Kind::file, path, mode, data, Source::kept);
  made.old_data = data;
  return made;
}
Item patched(const std::string& path, const std::string& old_data, const std::string& data,
             unsigned mode, const std::string& base_path) {
  Item made = item(Kind::file, path, mode, data, Source::patched);
  made.old_data = old_data;
  made.base_path = base_path;
  return made;
}

void make_trees(Trees& trees, const std::vector<Item>& items,
                std::string (*patch)(const std::string&, const std::string&)) {
  using test_support::make_dir;
  using test_support::write_file;
  make_dir(trees.installed);
  make_dir(trees.staged);
  make_dir(trees.expected);
  for (const Item& item : items) {
    trees.manifest.entries.push_back(entry_of(item));
    const installer::DeltaEntry& entry = trees.manifest.entries.back();
    if (item.kind == Kind::directory) {
      make_dir(trees.installed + "/" + item.path);
      make_dir(trees.expected + "/" + item.path);
    } else if (item.kind == Kind::symlink) {
      test_support::make_symlink(item.data, trees.expected + "/" + item.path);
    } else {
      write_file(trees.expected + "/" + item.path, item.data, item.mode);
      if (item.source == Source::added) {
        write_file(trees.staged + "/" + item.path, item.data);
      } else if (item.source == Source::kept) {
        write_file(trees.installed + "/" + item.path, item.old_data, 0600);
      } else {
        write_file(trees.installed + "/" + entry.base_path, item.old_data);
        write_file(trees.staged + "/" + item.path, patch(item.old_data, item.data));
      }
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
