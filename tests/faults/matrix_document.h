// docs/fault-matrix.md, rendered from the matrix's saved results.
#pragma once

#include <string>
#include <vector>

#include "matrix_report.h"
#include "results_file.h"

namespace faults {

// The whole document, from the records save_matrix_results wrote.
std::string matrix_document(const std::vector<Record>& records);

}  // namespace faults
