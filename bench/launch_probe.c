// Runs one launcher RUNS times and prints, per run, what it cost:
//   self_ns tree_ns backend_ns frontend_ns idle_rss_kb wall_ns
// self_ns: CPU time (user + system) of the launcher process alone, read from
//   /proc/<pid>/schedstat once it has exited and before it is reaped, so that
//   none of its children's time is in it;
// tree_ns: user + system time from wait4, which adds every descendant the
//   launcher reaped (its helpers, the backend, the frontend);
// backend_ns, frontend_ns: what the two doubles report for themselves;
// idle_rss_kb: the launcher's VmRSS, read by the frontend while it runs;
// wall_ns: from the fork to the launcher's exit.
// usage: launch_probe RUNS LAUNCHER REPORT_DIR
// The environment (HOME above all) is passed on to the launcher as it is.
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long monotonic_ns(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

static long long own_cpu_ns(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/schedstat", (int)pid);
  FILE* file = fopen(path, "re");
  if (!file) return -1;
  long long ns = -1;
  if (fscanf(file, "%lld", &ns) != 1) ns = -1;
  fclose(file);
  return ns;
}

// "<cpu ns> <rss kb>" as the double wrote it.
static int read_report(const char* directory, const char* name, long long* ns, long* kb) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", directory, name);
  FILE* file = fopen(path, "re");
  if (!file) return -1;
  int fields = fscanf(file, "%lld %ld", ns, kb);
  fclose(file);
  return fields == 2 && remove(path) == 0 ? 0 : -1;
}

static int run_once(const char* launcher, const char* report_dir) {
  const long long started = monotonic_ns();
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    execl(launcher, launcher, (char*)NULL);
    _exit(127);
  }
  siginfo_t info;
  while (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) return -1;
  }
  const long long wall_ns = monotonic_ns() - started;
  long long self_ns = own_cpu_ns(pid);
  int status;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) != pid) {
    if (errno != EINTR) return -1;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "launch_probe: %s ended with wait status %d\n", launcher, status);
    return -1;
  }
  long long tree_ns = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
                      (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
  long long backend_ns, frontend_ns;
  long unused, rss_kb;
  if (read_report(report_dir, "backend", &backend_ns, &unused) != 0 ||
      read_report(report_dir, "frontend", &frontend_ns, &rss_kb) != 0) {
    fprintf(stderr, "launch_probe: %s: a double wrote no report\n", launcher);
    return -1;
  }
  printf("%lld %lld %lld %lld %ld %lld\n", self_ns, tree_ns, backend_ns, frontend_ns, rss_kb,
         wall_ns);
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 4 || atoi(argv[1]) <= 0) {
    fprintf(stderr, "usage: launch_probe RUNS LAUNCHER REPORT_DIR\n");
    return 2;
  }
  if (setenv("BENCH_REPORT_DIR", argv[3], 1) != 0) return 1;
  for (int i = atoi(argv[1]); i > 0; --i) {
    if (run_once(argv[2], argv[3]) != 0) return 1;
    fflush(stdout);
  }
  return 0;
}
