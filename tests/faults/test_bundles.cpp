#include "test_bundles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "bundles.h"
#include "error_texts.h"

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
                                                                 version)));
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

}  // namespace faults
