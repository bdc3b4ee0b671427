#include "test_bundles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "programs.h"

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

std::string info_plist(const std::string& version) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n<dict>\n"
         "  <key>CFBundleExecutable</key>\n  <string>Zentrivale</string>\n"
         "  <key>CFBundleIdentifier</key>\n  <string>" +
         std::string(kBundleId) +
         "</string>\n"
         "  <key>CFBundleShortVersionString</key>\n  <string>" +
         version + "</string>\n</dict>\n</plist>\n";
}

void run_or_throw(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& directory) {
  ProgramRun run = run_program(program, arguments, {"PATH=/usr/bin:/bin"}, directory);
  if (run.exit_status != 0) {
    throw std::runtime_error(program + " failed: " + run.standard_error);
  }
}

}  // namespace

void make_bundle(const std::string& path, const std::string& version) {
  fs::create_directories(path + "/Contents");
  write_file(path + "/Contents/Info.plist", info_plist(version));
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

void sign_bundle(const std::string& stand_in_root, const std::string& bundle) {
  run_or_throw(stand_in_root + "/usr/bin/codesign", {"--sign", "-", bundle}, "/");
}

void zip_entry(const std::string& directory, const std::string& name, const std::string& archive) {
  run_or_throw("/usr/bin/zip", {"-q", "-r", "-y", archive, name}, directory);
}

std::string signed_archive(const std::string& stand_in_root, const std::string& work,
                           const std::string& version) {
  std::string directory = work + "/source-" + version;
  std::string archive = work + "/Zentrivale-" + version + ".zip";
  make_bundle(directory + "/Zentrivale.app", version);
  sign_bundle(stand_in_root, directory + "/Zentrivale.app");
  zip_entry(directory, "Zentrivale.app", archive);
  return archive;
}

}  // namespace faults
