// Prints which of the standard signals 1 to 31 it found blocked and which
// ignored, as "blocked: 10 15\nignored: 13\n", for the child process tests.
#include <signal.h>
#include <stdio.h>

int main() {
  sigset_t blocked;
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  printf("blocked:");
  for (int signal = 1; signal < 32; ++signal) {
    if (sigismember(&blocked, signal) == 1) printf(" %d", signal);
  }
  printf("\nignored:");
  for (int signal = 1; signal < 32; ++signal) {
    struct sigaction action {};
    if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
      printf(" %d", signal);
    }
  }
  printf("\n");
  return 0;
}
