// What the fault and crash tests add to the shared test support: error
// texts and names as the programs and the fault library spell them.
#pragma once

#include <string>
#include <vector>

#include "files.h"
#include "program_run.h"
#include "temp_dir.h"

namespace faults {

using test_support::list_directory;
using test_support::lexists;
using test_support::ProgramRun;
using test_support::read_file;
using test_support::remove_all;
using test_support::run_program;
using test_support::TempDir;
using test_support::write_file;

// The system's error text as the programs render it: "{} (os error {})".
std::string os_error_text(int error_number);
// An errno name the fault library knows ("EACCES") as its number.
int errno_number(const std::string& name);

// `text` with every occurrence of `from` replaced by `to`.
std::string replace_all(std::string text, const std::string& from, const std::string& to);

}  // namespace faults
