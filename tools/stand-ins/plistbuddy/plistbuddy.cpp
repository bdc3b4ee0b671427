// Stand-in for /usr/libexec/PlistBuddy: only `-c "Print :KEY" PLIST`, for a
// top-level string of an XML property list.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "full_io.h"
#include "file_reading.h"
#include "plist_reader.h"

namespace {

constexpr std::string_view kPrintCommand = "Print :";

int fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || std::string_view(argv[1]) != "-c" ||
      std::string_view(argv[2]).substr(0, kPrintCommand.size()) != kPrintCommand ||
      std::string_view(argv[2]).size() == kPrintCommand.size()) {
    return fail("usage: PlistBuddy -c \"Print :KEY\" PLIST (the only form this stand-in knows)");
  }
  std::string key(std::string_view(argv[2]).substr(kPrintCommand.size()));
  std::string plist = argv[3];

  auto text = stand_in::read_file(plist);
  if (!text) return fail("Error Reading File: " + plist + ": " + text.error());
  auto entries = property_list::parse_top_level(*text);
  if (!entries) return fail("Error Reading File: " + plist + ": " + entries.error());

  auto entry = entries->find(key);
  if (entry == entries->end()) return fail("Print: Entry, \":" + key + "\", Does Not Exist");
  if (!entry->second) {
    return fail("Print: Entry, \":" + key + "\", is not a string (this stand-in prints strings only)");
  }
  std::string line = *entry->second + "\n";
  if (!support::write_all(STDOUT_FILENO, line)) return 1;
  return 0;
}
