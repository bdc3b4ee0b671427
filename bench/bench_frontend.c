// Frontend double for the launch benchmark. It checks that the launcher gave
// it the environment a frontend gets, reads the resident memory of its parent
// (the launcher, idle in waitpid at this point) and exits at once. Both
// figures go to $BENCH_REPORT_DIR/frontend.
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bench_report.h"

static const char* const required[] = {
    "ZENTRIVALE_ASSETS_DIR", "ZENTRIVALE_DEMO", "GST_PLUGIN_PATH_1_0",
    "GST_PLUGIN_SYSTEM_PATH_1_0", "GST_PLUGIN_SCANNER", "GST_REGISTRY",
    "GIO_MODULE_DIR", "FONTCONFIG_FILE",
};

// VmRSS of `pid` in kB, or -1.
static long resident_kb(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
  FILE* status = fopen(path, "re");
  if (!status) return -1;
  char line[256];
  long kb = -1;
  while (fgets(line, sizeof line, status)) {
    if (strncmp(line, "VmRSS:", 6) == 0) {
      kb = strtol(line + 6, NULL, 10);
      break;
    }
  }
  fclose(status);
  return kb;
}

int main(void) {
  if (!has_environment(required, sizeof required / sizeof *required)) return 3;
  long rss = resident_kb(getppid());
  if (rss < 0) return 4;
  return report_self("frontend", rss) ? 0 : 4;
}
