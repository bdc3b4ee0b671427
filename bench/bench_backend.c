// Backend double for the launch benchmark. It checks that the launcher gave
// it the environment a backend gets, listens on 127.0.0.1:3000 at once and
// waits for SIGTERM. Then it writes its own CPU time to
// $BENCH_REPORT_DIR/backend, so that a shell launcher's helpers can be told
// apart from the application it starts.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench_report.h"

static const char* const required[] = {
    "ZENTRIVALE_DATA_DIR", "ZENTRIVALE_DEMO", "GST_PLUGIN_PATH_1_0",
    "GST_PLUGIN_SYSTEM_PATH_1_0", "GST_PLUGIN_SCANNER", "GST_REGISTRY",
    "GIO_MODULE_DIR", "FONTCONFIG_FILE",
};

int main(void) {
  // Blocked before listening: the launcher signals only after the frontend,
  // which it starts only once this accepts connections.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &term, NULL) != 0) return 4;

  if (!has_environment(required, sizeof required / sizeof *required)) return 3;

  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 4;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(3000);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, (struct sockaddr*)&address, sizeof address) != 0) return 4;
  if (listen(fd, 64) != 0) return 4;

  int signal_number = 0;
  while (sigwait(&term, &signal_number) != 0) {
  }
  close(fd);
  report_self("backend", 0);
  return 0;
}
