// The built launcher, run from temporary bundles beside the backend and
// frontend doubles.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "double_support.h"
#include "launcher_harness.h"

namespace launcher_test {
namespace {

using Strings = std::vector<std::string>;

std::string failure(const std::string& text) { return "Zentrivale could not start: " + text + "\n"; }

const std::string kNoSuchFile = "No such file or directory (os error 2)";
const std::string kFileExists = "File exists (os error 17)";

std::map<std::string, std::string> media_variables(const std::string& contents,
                                                   const std::string& cache) {
  return {
      {"GST_PLUGIN_PATH_1_0", contents + "/Frameworks/gst-plugins"},
      {"GST_PLUGIN_SYSTEM_PATH_1_0", contents + "/Frameworks/gst-plugins"},
      {"GST_PLUGIN_SCANNER", contents + "/Helpers/gst-plugin-scanner"},
      {"GST_REGISTRY", cache + "/gstreamer-registry.bin"},
      {"GIO_MODULE_DIR", contents + "/Resources/gio-modules"},
      {"FONTCONFIG_FILE", contents + "/Resources/fonts/fonts.conf"},
  };
}

void expect_variables(const Record& record, const std::map<std::string, std::string>& expected) {
  for (const auto& [name, value] : expected) {
    EXPECT_EQ(record.env(name), value) << name;
    EXPECT_EQ(record.env_count(name), 1u) << name;
  }
}

// Tests that fail before any connection attempt.
class LauncherTest : public ::testing::Test {};

// Tests that need 127.0.0.1:3000 to themselves.
class LauncherWithBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = backend_port_unavailable()) GTEST_SKIP() << *reason;
  }
};

class SlowLauncherTest : public LauncherWithBackendTest {};

TEST_F(LauncherWithBackendTest, ExitsWithTheFrontendsStatusAfterStoppingTheBackend) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"exit 0", 0}, {"exit 3", 3}, {"exit 255", 255}, {"signal 9", 1}};
  for (const auto& [behaviour, expected] : cases) {
    SCOPED_TRACE(behaviour);
    Bundle bundle;
    bundle.behave("frontend", behaviour);
    Outcome outcome = launch(bundle);

    EXPECT_TRUE(outcome.exited_with(expected)) << "wait status " << outcome.wait_status;
    EXPECT_EQ(outcome.standard_error, "");
    EXPECT_EQ(outcome.standard_output, "");
    EXPECT_EQ(bundle.record("backend").events, (Strings{"ready", "SIGTERM"}));
    EXPECT_TRUE(bundle.record("frontend").exists);
    EXPECT_EQ(outcome.left_behind, std::vector<pid_t>{});
  }
}

TEST_F(LauncherWithBackendTest, StartsTheFrontendOnlyOnceTheBackendAccepts) {
  Bundle bundle;
  bundle.behave("backend", "listen 700");
  Outcome outcome = launch(bundle);

  EXPECT_TRUE(outcome.exited_with(0)) << outcome.standard_error;
  EXPECT_EQ(bundle.record("frontend").events, (Strings{"backend-accepting", "exiting 0"}));
  EXPECT_EQ(bundle.record("backend").events, (Strings{"ready", "SIGTERM"}));
  EXPECT_EQ(outcome.left_behind, std::vector<pid_t>{});
}

TEST_F(LauncherWithBackendTest, ChildrenGetTheInheritedEnvironmentWithTheLaunchersVariables) {
  Bundle bundle;
  const std::string contents = bundle.root() + "/Zentrivale.app/Contents";
  // Existing directories are used as they are.
  std::filesystem::create_directories(bundle.data_directory());
  std::filesystem::create_directories(bundle.cache_directory());
  write_file(bundle.data_directory() + "/settings.json", "{}");
  write_file(bundle.cache_directory() + "/gstreamer-registry.bin", "registry");

  LaunchOptions options;
  options.environment = {
      {"ZENTRIVALE_DEMO", "1"},
      {"ZENTRIVALE_ASSETS_DIR", "/inherited/assets"},
      {"ZENTRIVALE_DATA_DIR", "/inherited/data"},
      {"GST_PLUGIN_SYSTEM_PATH_1_0", "/usr/lib/gstreamer-1.0"},
      {"FONTCONFIG_FILE", "/etc/fonts/fonts.conf"},
      {"ZENTRIVALE_TEST_INHERITED", "kept = as is"},
  };
  Outcome outcome = launch(bundle, options);
  ASSERT_TRUE(outcome.exited_with(0)) << outcome.standard_error;

  std::map<std::string, std::string> common = media_variables(contents, bundle.cache_directory());
  common["ZENTRIVALE_DEMO"] = "0";
  common["ZENTRIVALE_TEST_INHERITED"] = "kept = as is";
  common["HOME"] = bundle.home();

  std::map<std::string, std::string> backend = common;
  backend["ZENTRIVALE_DATA_DIR"] = bundle.data_directory();
  backend["ZENTRIVALE_ASSETS_DIR"] = "/inherited/assets";
  expect_variables(bundle.record("backend"), backend);

  std::map<std::string, std::string> frontend = common;
  frontend["ZENTRIVALE_ASSETS_DIR"] = contents + "/Resources/frontend-assets";
  frontend["ZENTRIVALE_DATA_DIR"] = "/inherited/data";
  expect_variables(bundle.record("frontend"), frontend);

  EXPECT_EQ(read_file(bundle.data_directory() + "/settings.json"), "{}");
  EXPECT_EQ(list_directory(bundle.data_directory()), Strings{"settings.json"});
  EXPECT_EQ(read_file(bundle.cache_directory() + "/gstreamer-registry.bin"), "registry");
}

TEST_F(LauncherWithBackendTest, ChildrenGetTheLaunchersStreamsAndDirectoryAndNothingElse) {
  Bundle bundle;
  bundle.behave("frontend", "exit 3");
  const std::string elsewhere = bundle.root() + "/elsewhere";
  std::filesystem::create_directories(elsewhere);
  LaunchOptions options;
  options.working_directory = elsewhere;
  // Inherited by the launcher, never by its children: with SIGCHLD ignored
  // the frontend's status would be lost.
  options.ignore_sigchld = true;
  options.ignore_sigpipe = true;
  options.block_sigusr1 = true;
  Outcome outcome = launch(bundle, options);

  EXPECT_TRUE(outcome.exited_with(3)) << outcome.standard_error;
  EXPECT_EQ(outcome.standard_error, "");
  for (const char* role : {"backend", "frontend"}) {
    SCOPED_TRACE(role);
    Record record = bundle.record(role);
    EXPECT_EQ(record.all("arg"), Strings{bundle.executable_directory() + "/" + role});
    EXPECT_EQ(record.get("cwd"), elsewhere);
    EXPECT_EQ(record.get("fds"), "0 1 2");
    EXPECT_EQ(record.get("fd0"), outcome.stdin_identity);
    EXPECT_EQ(record.get("fd1"), outcome.stdout_identity);
    EXPECT_EQ(record.get("fd2"), outcome.stderr_identity);
    EXPECT_EQ(record.get("ppid"), std::to_string(outcome.pid));
    EXPECT_EQ(record.get("pgid"), std::to_string(::getpgrp()));
    EXPECT_EQ(record.get("blocked"), "none");
    EXPECT_EQ(record.get("ignored"), "none");
  }
  EXPECT_EQ(outcome.left_behind, std::vector<pid_t>{});
}

TEST_F(LauncherWithBackendTest, EmptyHomeMeansTheWorkingDirectory) {
  Bundle bundle;
  const std::string work = bundle.root() + "/work";
  std::filesystem::create_directories(work);
  LaunchOptions options;
  options.environment = {{"HOME", ""}};
  options.working_directory = work;
  Outcome outcome = launch(bundle, options);

  ASSERT_TRUE(outcome.exited_with(0)) << outcome.standard_error;
  EXPECT_TRUE(is_directory(work + "/Library/Application Support/Zentrivale"));
  EXPECT_TRUE(is_directory(work + "/Library/Caches/Zentrivale"));
  Record backend = bundle.record("backend");
  EXPECT_EQ(backend.env("ZENTRIVALE_DATA_DIR"), "Library/Application Support/Zentrivale");
  EXPECT_EQ(backend.env("GST_REGISTRY"), "Library/Caches/Zentrivale/gstreamer-registry.bin");
}

TEST_F(LauncherWithBackendTest, HomeEndingInASeparatorGivesNoDoubledSeparator) {
  Bundle bundle;
  LaunchOptions options;
  options.environment = {{"HOME", bundle.home() + "/"}};
  Outcome outcome = launch(bundle, options);

  ASSERT_TRUE(outcome.exited_with(0)) << outcome.standard_error;
  Record backend = bundle.record("backend");
  EXPECT_EQ(backend.env("ZENTRIVALE_DATA_DIR"), bundle.data_directory());
  EXPECT_EQ(backend.env("GST_REGISTRY"), bundle.cache_directory() + "/gstreamer-registry.bin");
  EXPECT_TRUE(is_directory(bundle.data_directory()));
  EXPECT_TRUE(is_directory(bundle.cache_directory()));
}

TEST_F(LauncherWithBackendTest, OtherDirectoryNamesAreAccepted) {
  Bundle::Options layout;
  layout.executable_directory = "opt/x/bin";
  layout.launcher_name = "app";
  Bundle bundle(layout);
  Outcome outcome = launch(bundle);

  ASSERT_TRUE(outcome.exited_with(0)) << outcome.standard_error;
  const std::string x = bundle.root() + "/opt/x";
  Record frontend = bundle.record("frontend");
  EXPECT_EQ(frontend.all("arg"), Strings{x + "/bin/frontend"});
  EXPECT_EQ(bundle.record("backend").all("arg"), Strings{x + "/bin/backend"});
  EXPECT_EQ(frontend.env("ZENTRIVALE_ASSETS_DIR"), x + "/Resources/frontend-assets");
  EXPECT_EQ(frontend.env("GST_PLUGIN_PATH_1_0"), x + "/Frameworks/gst-plugins");
}

TEST_F(LauncherTest, RefusesToStartWithoutHome) {
  Bundle bundle;
  LaunchOptions options;
  options.environment = {{"HOME", std::nullopt}};
  Outcome outcome = launch(bundle, options);

  EXPECT_TRUE(outcome.exited_with(1));
  EXPECT_EQ(outcome.standard_error, failure("HOME is not set"));
  EXPECT_EQ(outcome.standard_output, "");
  EXPECT_EQ(list_directory(bundle.root()),
            (Strings{"Zentrivale.app", "home", "launcher.stderr", "launcher.stdin",
                     "launcher.stdout"}));
  EXPECT_EQ(list_directory(bundle.home()), Strings{});
  EXPECT_FALSE(bundle.record("backend").exists);
  EXPECT_FALSE(bundle.record("frontend").exists);
}

TEST_F(LauncherTest, FileInPlaceOfTheDataDirectory) {
  Bundle bundle;
  std::filesystem::create_directories(bundle.home() + "/Library/Application Support");
  write_file(bundle.data_directory(), "not a directory");
  Outcome outcome = launch(bundle);

  EXPECT_TRUE(outcome.exited_with(1));
  EXPECT_EQ(outcome.standard_error, failure(kFileExists));
  EXPECT_FALSE(is_directory(bundle.home() + "/Library/Caches"));
  EXPECT_FALSE(bundle.record("backend").exists);
}

TEST_F(LauncherTest, FileInPlaceOfTheCacheDirectorysParent) {
  Bundle bundle;
  std::filesystem::create_directories(bundle.home() + "/Library");
  write_file(bundle.home() + "/Library/Caches", "not a directory");
  Outcome outcome = launch(bundle);

  EXPECT_TRUE(outcome.exited_with(1));
  EXPECT_EQ(outcome.standard_error, failure(kFileExists));
  EXPECT_TRUE(is_directory(bundle.data_directory()));
  EXPECT_FALSE(bundle.record("backend").exists);
}

TEST_F(LauncherWithBackendTest, RefusesASecondBackend) {
  int listener = test_support::cloexec_tcp_socket(AF_INET);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(3000);
  ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);

  Bundle bundle;
  Outcome outcome = launch(bundle);
  ::close(listener);

  EXPECT_TRUE(outcome.exited_with(1));
  EXPECT_EQ(outcome.standard_error,
            failure("another backend is already listening on 127.0.0.1:3000"));
  EXPECT_FALSE(bundle.record("backend").exists);
  EXPECT_FALSE(bundle.record("frontend").exists);
  EXPECT_TRUE(is_directory(bundle.data_directory()));
  EXPECT_TRUE(is_directory(bundle.cache_directory()));
}

TEST_F(LauncherWithBackendTest, MissingFrontendStopsTheBackend) {
  Bundle::Options layout;
  layout.frontend = false;
  Bundle bundle(layout);
  Outcome outcome = launch(bundle);

  EXPECT_TRUE(outcome.exited_with(1));
  EXPECT_EQ(outcome.standard_error, failure(kNoSuchFile));
  EXPECT_EQ(bundle.record("backend").events, (Strings{"ready", "SIGTERM"}));
  EXPECT_EQ(outcome.left_behind, std::vector<pid_t>{});
}

TEST_F(LauncherWithBackendTest, MissingBackend) {
  Bundle::Options layout;
  layout.backend = false;
  Bundle bundle(layout);
  Outcome outcome = launch(bundle);

  EXPECT_TRUE(outcome.exited_with(1));
  EXPECT_EQ(outcome.standard_error, failure(kNoSuchFile));
  EXPECT_FALSE(bundle.record("frontend").exists);
  EXPECT_TRUE(is_directory(bundle.data_directory()));
  EXPECT_TRUE(is_directory(bundle.cache_directory()));
}

TEST_F(LauncherWithBackendTest, BackendEndingDuringStartup) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"exit 1", "exit status: 1"}, {"signal 9", "signal: 9 (SIGKILL)"}};
  for (const auto& [behaviour, status] : cases) {
    SCOPED_TRACE(behaviour);
    Bundle bundle;
    bundle.behave("backend", behaviour);
    Outcome outcome = launch(bundle);

    EXPECT_TRUE(outcome.exited_with(1));
    EXPECT_EQ(outcome.standard_error, failure("backend exited during startup with " + status));
    EXPECT_FALSE(bundle.record("frontend").exists);
    EXPECT_EQ(outcome.left_behind, std::vector<pid_t>{});
  }
}

TEST_F(LauncherWithBackendTest, BackendEndingOnItsOwnIsOnlyReaped) {
  Bundle bundle;
  bundle.behave("backend", "exit-after-ready 600");
  bundle.behave("frontend", "exit 4 1200");
  Outcome outcome = launch(bundle);

  EXPECT_TRUE(outcome.exited_with(4)) << outcome.standard_error;
  EXPECT_EQ(bundle.record("backend").events, (Strings{"ready", "exiting 0"}));
  EXPECT_EQ(outcome.left_behind, std::vector<pid_t>{});
}

// Ten seconds of grace before SIGKILL.
TEST_F(SlowLauncherTest, BackendIgnoringSigtermIsKilled) {
  Bundle bundle;
  bundle.behave("backend", "ignore-term");
  auto start = std::chrono::steady_clock::now();
  Outcome outcome = launch(bundle);

  EXPECT_TRUE(outcome.exited_with(0)) << outcome.standard_error;
  EXPECT_GE(std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::steady_clock::now() - start).count(), 10);
  EXPECT_EQ(bundle.record("backend").events, Strings{"ready"});
  EXPECT_EQ(outcome.left_behind, std::vector<pid_t>{});
}

// The full 120 seconds.
TEST_F(SlowLauncherTest, BackendNeverListening) {
  Bundle bundle;
  bundle.behave("backend", "never");
  Outcome outcome = launch(bundle);

  EXPECT_TRUE(outcome.exited_with(1));
  EXPECT_EQ(outcome.standard_error, failure("backend did not become ready within 120 seconds"));
  EXPECT_EQ(bundle.record("backend").events, Strings{"SIGTERM"});
  EXPECT_FALSE(bundle.record("frontend").exists);
  EXPECT_EQ(outcome.left_behind, std::vector<pid_t>{});
}

}  // namespace
}  // namespace launcher_test
