// What the application doubles of the launch benchmark share: the check of
// the environment they were given and the report of their own costs.
#pragma once

#include <stdbool.h>
#include <stddef.h>

// Whether every variable in `names` is set, ZENTRIVALE_DEMO to "0".
bool has_environment(const char* const* names, size_t count);

// Writes "<cpu ns> <parent_rss_kb>\n" to $BENCH_REPORT_DIR/<name>: the
// process's own user and system time so far.
bool report_self(const char* name, long parent_rss_kb);
