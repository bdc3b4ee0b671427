#include "test_bundles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "bundles.h"
#include "error_texts.h"
#include "program_run.h"

namespace faults {
namespace {

namespace fs = std::filesystem;

// Files beside Info.plist, by their paths under Contents; the executables
// carry mode 755.
const char* const kPlainFiles[] = {
    "Resources/version.txt",
    "Resources/frontend-assets/index.html",
    "Resources/frontend-assets/app.js",
    "Resources/frontend-assets/style.css",
    "Resources/fonts/fonts.conf",
    "Resources/gio-modules/libgiognutls.so",
    "Frameworks/gst-plugins/libgstcoreelements.so",
    "Frameworks/gst-plugins/libgstplayback.so",
    "Frameworks/gst-plugins/libgstaudioconvert.so",
};
const char* const kExecutables[] = {
    "MacOS/Zentrivale",
    "MacOS/backend",
    "MacOS/frontend",
    "Helpers/gst-plugin-scanner",
};

}  // namespace

void make_bundle(const std::string& path, const std::string& version) {
  fs::create_directories(path + "/Contents");
  write_file(path + "/Contents/Info.plist",
             test_support::info_plist(test_support::plist_string("CFBundleExecutable", "Zentrivale") +
                                      test_support::plist_string("CFBundleIdentifier", kBundleId) +
                                      test_support::plist_string("CFBundleShortVersionString",
                                                                 version) +
                                      test_support::plist_string("CFBundleVersion", version)));
  for (const char* file : kPlainFiles) {
    std::string full = path + "/Contents/" + file;
    fs::create_directories(fs::path(full).parent_path());
    write_file(full, std::string(file) + " of Zentrivale " + version + "\n");
  }
  for (const char* file : kExecutables) {
    std::string full = path + "/Contents/" + file;
    fs::create_directories(fs::path(full).parent_path());
    write_file(full, "#!/bin/sh\n# " + std::string(file) + " of Zentrivale " + version + "\nexit 0\n",
               0755);
  }
  write_file(path + "/Contents/Resources/shared.dat", test_support::noise(20000, 7));
  std::string media = test_support::noise(60000, 8);
  media.replace(30000, version.size(), version);
  write_file(path + "/Contents/Resources/media.dat", media);
  // Frameworks carry links; they must survive every move as links.
  fs::create_symlink("libgstplayback.so", path + "/Contents/Frameworks/gst-plugins/current");
}

std::string signed_archive(const std::string& stand_in_root, const std::string& work,
                           const std::string& version) {
  std::string directory = work + "/source-" + version;
  std::string archive = work + "/Zentrivale-" + version + ".zip";
  make_bundle(directory + "/Zentrivale.app", version);
  test_support::sign_bundle(stand_in_root, directory + "/Zentrivale.app");
  test_support::zip_entries(directory, {"Zentrivale.app"}, archive);
  return archive;
}

std::string delta_archive(const std::string& bundle_delta, const std::string& work,
                          const std::string& from, const std::string& to) {
  std::string archive = work + "/Zentrivale-" + to + "-delta-from-" + from + ".zip";
  test_support::ProgramRun made = test_support::run_program(
      bundle_delta,
      {"--from", work + "/source-" + from + "/Zentrivale.app", "--to",
       work + "/source-" + to + "/Zentrivale.app", "--output", archive},
      {"PATH=/usr/bin:/bin"}, work);
  if (made.exit_status != 0) throw std::runtime_error("bundle_delta: " + made.standard_error);
  return archive;
}

}  // namespace faults
