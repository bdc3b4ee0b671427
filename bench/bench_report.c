#define _GNU_SOURCE
#include "bench_report.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

bool has_environment(const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const char* value = getenv(names[i]);
    if (!value) return false;
    if (strcmp(names[i], "ZENTRIVALE_DEMO") == 0 && strcmp(value, "0") != 0) return false;
  }
  return true;
}

bool report_self(const char* name, long parent_rss_kb) {
  const char* directory = getenv("BENCH_REPORT_DIR");
  if (!directory) return false;
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return false;
  long long ns = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", directory, name);
  FILE* out = fopen(path, "we");
  if (!out) return false;
  fprintf(out, "%lld %ld\n", ns, parent_rss_kb);
  return fclose(out) == 0;
}
