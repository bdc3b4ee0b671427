// The release tool's pieces on real temporary trees: where each new file's
// bytes come from, an extraction that never lands outside its directory, and
// the counting of deflated sizes.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>

#include "open_beneath.h"
#include "budgeted_jobs.h"
#include "bundle_tree.h"
#include "deflated_size.h"
#include "delta_plan.h"
#include "zip_extraction.h"
#include "zip_writing.h"
#include "files.h"
#include "temp_dir.h"

namespace {

using installer::DeltaEntry;
using test_support::write_file;

using test_support::noise;

TEST(DeltaPlanTest, FilesAreKeptPatchedOrAddedByWhatTheOldBundleHolds) {
  test_support::TempDir dir("delta-plan-test");
  const std::string old_app = dir / "old/A.app", new_app = dir / "new/A.app";
  const std::string code = noise(50000, 1), other = noise(50000, 2);
  struct Case {
    std::string path;
    std::string old_path, old_bytes;  // nothing in the old bundle when old_path is empty
    std::string new_bytes;
    DeltaEntry::Source source;
    std::string base_path;
  };
  const std::vector<Case> cases{
      {"same", "same", code, code, DeltaEntry::Source::kept, ""},
      {"small-change", "small-change", code, code.substr(0, 40000) + "v2",
       DeltaEntry::Source::patched, "small-change"},
      {"rewritten", "rewritten", code, other, DeltaEntry::Source::added, ""},
      {"moved/same-bytes", "elsewhere/bytes", other + "!", other + "!", DeltaEntry::Source::patched,
       "elsewhere/bytes"},
      {"moved/lib.dylib", "old-dir/lib.dylib", code + "1", "0" + code, DeltaEntry::Source::patched,
       "old-dir/lib.dylib"},
      {"brand-new", "", "", code + "new", DeltaEntry::Source::added, ""},
  };
  for (const Case& c : cases) {
    if (!c.old_path.empty()) write_file(old_app + "/" + c.old_path, c.old_bytes);
    write_file(new_app + "/" + c.path, c.new_bytes, 0750);
  }
  test_support::make_dir(old_app + "/dir-then-file");
  write_file(new_app + "/dir-then-file", other + "d");

  auto old_tree = delta::walk_bundle(old_app);
  auto new_tree = delta::walk_bundle(new_app);
  ASSERT_TRUE(old_tree.ok() && new_tree.ok());
  test_support::make_dir(dir / "patches");
  auto patches = delta::open_directory(dir / "patches");
  ASSERT_TRUE(patches.ok());
  auto plan = delta::plan_delta(*old_tree, *new_tree, "1", "2", patches->get());
  ASSERT_TRUE(plan.ok()) << plan.error();
  EXPECT_EQ(plan->manifest.base_version, "1");
  EXPECT_EQ(plan->manifest.new_version, "2");
  EXPECT_EQ(plan->kept, 1u);

  std::map<std::string, DeltaEntry> files;
  for (const DeltaEntry& entry : plan->manifest.entries) files[entry.path] = entry;
  EXPECT_EQ(files.at("dir-then-file").source, DeltaEntry::Source::added);
  EXPECT_EQ(files.at("moved").kind, DeltaEntry::Kind::directory);
  for (const Case& c : cases) {
    const DeltaEntry& entry = files.at(c.path);
    EXPECT_EQ(entry.source, c.source) << c.path;
    EXPECT_EQ(entry.base_path, c.base_path) << c.path;
    EXPECT_EQ(entry.size, c.new_bytes.size()) << c.path;
    EXPECT_EQ(entry.mode, 0750u) << c.path;
    const bool stored = c.source != DeltaEntry::Source::kept;
    const bool listed = std::any_of(plan->stored.begin(), plan->stored.end(),
                                    [&](const delta::StoredFile& f) { return f.path == c.path; });
    EXPECT_EQ(listed, stored) << c.path;
  }
  // The base's digest is the old file's: the same bytes moved share it.
  EXPECT_EQ(files.at("moved/same-bytes").base_sha256, files.at("moved/same-bytes").sha256);
}

TEST(ZipExtractionTest, EntriesThatWouldLandOutsideAreRefused) {
  const std::vector<std::pair<delta::ZipItem, std::string>> cases{
      {{delta::ZipItem::Kind::file, "../escape", 0644, "x", {}, -1}, "../escape"},
      {{delta::ZipItem::Kind::file, "/absolute", 0644, "x", {}, -1}, "/absolute"},
      {{delta::ZipItem::Kind::file, "a/../../b", 0644, "x", {}, -1}, "a/../../b"},
      {{delta::ZipItem::Kind::file, "a//b", 0644, "x", {}, -1}, "a//b"},
      {{delta::ZipItem::Kind::directory, "./d", 0755, {}, {}, -1}, "./d/"},
  };
  for (const auto& [item, name] : cases) {
    test_support::TempDir dir("zip-extraction-test");
    const std::string archive = dir / "a.zip";
    ASSERT_TRUE(delta::write_zip(archive, {item}).ok()) << name;
    test_support::make_dir(dir / "out");
    auto extracted = delta::extract_zip(archive, dir / "out");
    ASSERT_FALSE(extracted.ok()) << name;
    EXPECT_EQ(extracted.error(),
              "cannot extract " + archive + ": refusing an entry outside the destination: " + name);
    EXPECT_EQ(test_support::list_directory(dir / "out"), std::vector<std::string>{}) << name;
  }

  // A link the archive made is never written through.
  test_support::TempDir dir("zip-extraction-test");
  const std::string archive = dir / "a.zip";
  ASSERT_TRUE(delta::write_zip(archive,
                               {{delta::ZipItem::Kind::symlink, "link", 0777, dir.path(), {}, -1},
                                {delta::ZipItem::Kind::file, "link/planted", 0644, "x", {}, -1}})
                  .ok());
  test_support::make_dir(dir / "out");
  auto extracted = delta::extract_zip(archive, dir / "out");
  ASSERT_FALSE(extracted.ok());
  EXPECT_EQ(extracted.error().rfind("cannot extract " + archive + ": link/planted: ", 0), 0u)
      << extracted.error();
  EXPECT_FALSE(test_support::lexists(dir / "planted"));
}

// A limited count answers the one question it is asked, whether the whole
// stream would pass the limit, and is exact whenever it would not.
TEST(DeflatedSizeTest, LimitedCountTellsWhetherTheLimitIsPassed) {
  const std::vector<std::string> inputs{"", std::string(1 << 20, '\0'), noise(300000, 7),
                                        noise(1000, 8) + std::string(200000, 'a')};
  for (const std::string& bytes : inputs) {
    const std::uint64_t whole = delta::deflated_size(bytes, delta::kDefaultLevel);
    for (std::uint64_t limit : {std::uint64_t{0}, whole / 2, whole - 1, whole, whole + 1}) {
      const std::uint64_t limited = delta::deflated_size(bytes, delta::kDefaultLevel, limit);
      if (whole > limit) {
        EXPECT_GT(limited, limit) << bytes.size() << " bytes, limit " << limit;
      } else {
        EXPECT_EQ(limited, whole) << bytes.size() << " bytes, limit " << limit;
      }
    }
  }
}

// Jobs share two threads only as far as their costs fit the budget together:
// each runs once, the costs running at once never pass the budget (but for
// one job alone), and two run at once whenever the budget allows it.
TEST(DeltaJobsTest, JobsRunSideBySideOnlyWithinTheBudget) {
  struct Case {
    std::vector<std::uint64_t> costs;
    std::uint64_t budget;
    std::size_t side_by_side;  // the most jobs that can run at once
  };
  const std::vector<Case> cases{
      {{}, 10, 0},
      {{3}, 10, 1},
      {{5, 5, 5, 5}, 10, 2},
      {{6, 6, 6}, 10, 1},
      {{20, 1, 30}, 10, 1},          // each alone past the budget
      {{8, 3, 2, 9, 1}, 10, 2},      // a small job beside a large one
      {{4, 4, 4, 4, 4, 4}, 100, 2},  // never more than the threads
  };
  for (const Case& c : cases) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> runs(c.costs.size(), 0);
    std::uint64_t held = 0, most_held = 0;
    std::size_t running = 0, most_running = 0;
    delta::run_within_budget(c.costs, c.budget, 2, [&](std::size_t i) {
      std::unique_lock<std::mutex> lock(mutex);
      ++runs[i];
      held += c.costs[i];
      ++running;
      most_held = std::max(most_held, held);
      most_running = std::max(most_running, running);
      if (running > 1 && held > c.budget) ADD_FAILURE() << "past the budget: " << held;
      changed.notify_all();
      // Where two can run at once, the first waits for a second to start.
      if (c.side_by_side == 2) {
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return most_running > 1; });
      }
      held -= c.costs[i];
      --running;
    });
    EXPECT_EQ(runs, std::vector<int>(c.costs.size(), 1)) << c.costs.size() << " jobs";
    EXPECT_EQ(most_running, c.side_by_side) << c.costs.size() << " jobs, budget " << c.budget;
    if (c.side_by_side > 1) {
      EXPECT_LE(most_held, c.budget);
    }
  }
}

// A job's exception comes out of the run once the other jobs have run.
TEST(DeltaJobsTest, AJobsExceptionIsThrownAfterTheOthersRan) {
  std::mutex mutex;
  std::vector<int> runs(5, 0);
  EXPECT_THROW(delta::run_within_budget({1, 2, 3, 4, 5}, 6, 2,
                                        [&](std::size_t i) {
                                          {
                                            std::lock_guard<std::mutex> lock(mutex);
                                            ++runs[i];
                                          }
                                          if (i == 3) throw std::runtime_error("job 3");
                                        }),
               std::runtime_error);
  EXPECT_EQ(runs, std::vector<int>(5, 1));
}

}  // namespace
