// The floor for the launcher benchmark: the least a C program must do for
// the same launch, step for step. It takes the layout from its own path,
// creates the data and cache directories with their parents, builds the two
// children's environments, makes the 250 ms pre-check, spawns the backend,
// polls it (exit check, 200 ms connect, 200 ms pause), spawns and waits for
// the frontend, sends SIGTERM to the backend and reaps it. libc only; no
// messages, no error texts: it exits 1 on any failure.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

enum { kMediaCount = 6, kOwnCount = 2 };

static long long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

static void pause_ms(long ms) {
  struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

// mkdir -p: every missing level with 0777 less the umask.
static bool make_directories(char* path) {
  for (char* slash = strchr(path + 1, '/');; slash = strchr(slash + 1, '/')) {
    if (slash) *slash = '\0';
    bool made = mkdir(path, 0777) == 0 || errno == EEXIST;
    if (slash) *slash = '/';
    if (!made) return false;
    if (!slash) return true;
  }
}

static char* format(const char* template_text, const char* a, const char* b) {
  char* text = NULL;
  return asprintf(&text, template_text, a, b) < 0 ? NULL : text;
}

// The inherited environment with `added` ("NAME=value") put over it.
static char** environment_with(char** added, size_t count) {
  size_t inherited = 0;
  while (environ[inherited]) ++inherited;
  char** result = malloc((inherited + count + 1) * sizeof *result);
  if (!result) return NULL;
  size_t n = 0;
  for (size_t i = 0; i < inherited; ++i) {
    bool replaced = false;
    for (size_t j = 0; j < count && !replaced; ++j) {
      size_t name_length = strcspn(added[j], "=") + 1;
      replaced = strncmp(environ[i], added[j], name_length) == 0;
    }
    if (!replaced) result[n++] = environ[i];
  }
  for (size_t j = 0; j < count; ++j) result[n++] = added[j];
  result[n] = NULL;
  return result;
}

static bool accepts_connection(const struct sockaddr_in* endpoint, int timeout_ms) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool accepted = connect(fd, (const struct sockaddr*)endpoint, sizeof *endpoint) == 0;
  if (!accepted && (errno == EINPROGRESS || errno == EINTR)) {
    struct pollfd entry = {fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    accepted = poll(&entry, 1, timeout_ms) > 0 &&
               getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  close(fd);
  return accepted;
}

static pid_t spawn(const char* program, char** environment) {
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) return -1;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char* argv[] = {(char*)program, NULL};
  pid_t pid = -1;
  int error = posix_spawn(&pid, program, NULL, &attributes, argv, environment);
  posix_spawnattr_destroy(&attributes);
  return error == 0 ? pid : -1;
}

static pid_t wait_for(pid_t pid, int* status, int flags) {
  pid_t result;
  while ((result = waitpid(pid, status, flags)) == -1 && errno == EINTR) {
  }
  return result;
}

static bool wait_for_backend(pid_t backend, const struct sockaddr_in* endpoint) {
  const long long deadline = now_ms() + 120000;
  for (;;) {
    int status;
    if (wait_for(backend, &status, WNOHANG) != 0) return false;
    if (accepts_connection(endpoint, 200)) return true;
    if (now_ms() >= deadline) return false;
    pause_ms(200);
  }
}

int main(void) {
  char executable[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
  if (length <= 0) return 1;
  executable[length] = '\0';
  char* slash = strrchr(executable, '/');
  if (!slash || slash == executable) return 1;
  *slash = '\0';  // the executable directory
  char contents[PATH_MAX];
  strcpy(contents, executable);
  slash = strrchr(contents, '/');
  if (!slash) return 1;
  *slash = '\0';
  const char* home = getenv("HOME");
  if (!home) return 1;

  char* data = format("%s/Library/Application Support/Zentrivale%s", home, "");
  char* cache = format("%s/Library/Caches/Zentrivale%s", home, "");
  if (!data || !cache || !make_directories(data) || !make_directories(cache)) return 1;

  char* media[kMediaCount] = {
      format("GST_PLUGIN_PATH_1_0=%s/Frameworks/gst-plugins%s", contents, ""),
      format("GST_PLUGIN_SYSTEM_PATH_1_0=%s/Frameworks/gst-plugins%s", contents, ""),
      format("GST_PLUGIN_SCANNER=%s/Helpers/gst-plugin-scanner%s", contents, ""),
      format("GST_REGISTRY=%s/%s", cache, "gstreamer-registry.bin"),
      format("GIO_MODULE_DIR=%s/Resources/gio-modules%s", contents, ""),
      format("FONTCONFIG_FILE=%s/Resources/fonts/fonts.conf%s", contents, ""),
  };
  char* backend_added[kOwnCount + kMediaCount] = {
      format("ZENTRIVALE_DATA_DIR=%s%s", data, ""), "ZENTRIVALE_DEMO=0"};
  char* frontend_added[kOwnCount + kMediaCount] = {
      format("ZENTRIVALE_ASSETS_DIR=%s/Resources/frontend-assets%s", contents, ""),
      "ZENTRIVALE_DEMO=0"};
  for (int i = 0; i < kMediaCount; ++i) {
    if (!media[i]) return 1;
    backend_added[kOwnCount + i] = frontend_added[kOwnCount + i] = media[i];
  }
  if (!backend_added[0] || !frontend_added[0]) return 1;
  char** backend_environment = environment_with(backend_added, kOwnCount + kMediaCount);
  char** frontend_environment = environment_with(frontend_added, kOwnCount + kMediaCount);
  if (!backend_environment || !frontend_environment) return 1;

  struct sockaddr_in endpoint;
  memset(&endpoint, 0, sizeof endpoint);
  endpoint.sin_family = AF_INET;
  endpoint.sin_port = htons(3000);
  inet_pton(AF_INET, "127.0.0.1", &endpoint.sin_addr);
  if (accepts_connection(&endpoint, 250)) return 1;

  char* backend_program = format("%s/%s", executable, "backend");
  char* frontend_program = format("%s/%s", executable, "frontend");
  if (!backend_program || !frontend_program) return 1;
  pid_t backend = spawn(backend_program, backend_environment);
  if (backend < 0) return 1;
  int status = 0;
  bool ready = wait_for_backend(backend, &endpoint);
  pid_t frontend = ready ? spawn(frontend_program, frontend_environment) : -1;
  bool ran = frontend > 0 && wait_for(frontend, &status, 0) == frontend;
  int backend_status;
  if (wait_for(backend, &backend_status, WNOHANG) == 0) {
    kill(backend, SIGTERM);
    wait_for(backend, &backend_status, 0);
  }
  if (!ran) return 1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 1;
}
