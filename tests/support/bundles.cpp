#include "bundles.h"

#include <stdexcept>

#include "program_run.h"

namespace test_support {
namespace {

void run_or_throw(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& directory) {
  ProgramRun run = run_program(program, arguments, {"PATH=/usr/bin:/bin"}, directory);
  if (run.exit_status != 0) throw std::runtime_error(program + " failed: " + run.standard_error);
}

}  // namespace

std::string info_plist(const std::string& entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n<dict>\n" +
         entries + "</dict>\n</plist>\n";
}

std::string plist_string(const std::string& key, const std::string& value) {
  return "  <key>" + key + "</key>\n  <string>" + value + "</string>\n";
}

void sign_bundle(const std::string& stand_in_root, const std::string& bundle,
                 const std::string& identity) {
  run_or_throw(stand_in_root + "/usr/bin/codesign", {"--sign", identity, bundle}, "/");
}

void zip_entries(const std::string& directory, const std::vector<std::string>& entries,
                 const std::string& archive) {
  std::vector<std::string> arguments{"-q", "-r", "-y", archive};
  arguments.insert(arguments.end(), entries.begin(), entries.end());
  run_or_throw("/usr/bin/zip", arguments, directory);
}

}  // namespace test_support
