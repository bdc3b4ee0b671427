/*
 * Fault injection for tests (Linux): makes chosen system calls fail, so that
 * failure paths run without editing the code under test.
 *
 * Use it either by preloading the shared library into a program,
 *   LD_PRELOAD=<build>/.../libfault_injection.so FAULT_RENAMEAT2=EXDEV prog ...
 * (CMake: $<TARGET_FILE:fault_injection>), or by compiling this file into a
 * test executable, whose own definitions then take the calls.
 *
 * Linked in, fault_injection_reset() re-reads the variables and
 * fault_injection_failures("FAULT_RENAME") tells how many calls were failed.
 *
 * Variables, read at the first call of each function (and again after
 * fault_injection_reset()):
 *   FAULT_<CALL>=<errno>         every call fails with <errno>
 *   FAULT_<CALL>=<n>:<errno>     only the n-th call fails (counting from 1)
 *   FAULT_<CALL>=<n>+:<errno>    the n-th and every later call fail
 *   FAULT_<CALL>_PATH=<text>     only calls with a path argument containing
 *                                <text> are counted, and can fail
 *   FAULT_INHERIT=1              keep LD_PRELOAD for child processes
 * <CALL>: RENAME, RENAMEAT, RENAMEAT2, MKDIR, MKDIRAT, UNLINK, UNLINKAT,
 * RMDIR, OPENAT, KILL. <errno>: a name (EXDEV, EACCES, ENOTEMPTY, ...) or a
 * number. A malformed value ends the process with a message and status 125.
 *
 * Unless FAULT_INHERIT=1, the library takes itself out of LD_PRELOAD when it
 * is loaded, so the tools the program starts (ditto, ...) run unaffected.
 *
 * To add a call: one entry in `enum call` and `faults`, one wrapper below.
 */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum call { RENAME, RENAMEAT, RENAMEAT2, MKDIR, MKDIRAT, UNLINK, UNLINKAT, RMDIR, OPENAT, KILL };

struct fault {
  const char *variable;
  int configured;  /* -1 not read yet, 0 no fault, 1 fault */
  int error;
  long first;      /* first call (from 1) that fails; 0: every call */
  int onwards;     /* later calls fail too */
  const char *path_filter;
  long calls;
  long failures;
};

static struct fault faults[] = {
    [RENAME] = {"FAULT_RENAME", -1, 0, 0, 0, NULL, 0, 0},
    [RENAMEAT] = {"FAULT_RENAMEAT", -1, 0, 0, 0, NULL, 0, 0},
    [RENAMEAT2] = {"FAULT_RENAMEAT2", -1, 0, 0, 0, NULL, 0, 0},
    [MKDIR] = {"FAULT_MKDIR", -1, 0, 0, 0, NULL, 0, 0},
    [MKDIRAT] = {"FAULT_MKDIRAT", -1, 0, 0, 0, NULL, 0, 0},
    [UNLINK] = {"FAULT_UNLINK", -1, 0, 0, 0, NULL, 0, 0},
    [UNLINKAT] = {"FAULT_UNLINKAT", -1, 0, 0, 0, NULL, 0, 0},
    [RMDIR] = {"FAULT_RMDIR", -1, 0, 0, 0, NULL, 0, 0},
    [OPENAT] = {"FAULT_OPENAT", -1, 0, 0, 0, NULL, 0, 0},
    [KILL] = {"FAULT_KILL", -1, 0, 0, 0, NULL, 0, 0},
};

static const struct {
  const char *name;
  int number;
} errno_names[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT},       {"ESRCH", ESRCH},   {"EINTR", EINTR},
    {"EIO", EIO},       {"EBADF", EBADF},         {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM},
    {"EACCES", EACCES}, {"EBUSY", EBUSY},         {"EEXIST", EEXIST}, {"EXDEV", EXDEV},
    {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR},     {"EINVAL", EINVAL}, {"EMFILE", EMFILE},
    {"ENOSPC", ENOSPC}, {"EROFS", EROFS},         {"EMLINK", EMLINK}, {"ELOOP", ELOOP},
    {"ENAMETOOLONG", ENAMETOOLONG}, {"ENOTEMPTY", ENOTEMPTY}, {"ENOSYS", ENOSYS},
    {"ENOTSUP", ENOTSUP}, {"EDQUOT", EDQUOT},     {"ESTALE", ESTALE},
};

static void bad_setting(const char *variable, const char *value) {
  static const char prefix[] = "fault_injection: cannot read ";
  /* write(2) only: stdio may not be usable from every interposed call. */
  if (write(STDERR_FILENO, prefix, sizeof prefix - 1) < 0 ||
      write(STDERR_FILENO, variable, strlen(variable)) < 0 ||
      write(STDERR_FILENO, "=", 1) < 0 || write(STDERR_FILENO, value, strlen(value)) < 0 ||
      write(STDERR_FILENO, "\n", 1) < 0) {
  }
  _exit(125);
}

static int parse_errno(const char *text) {
  size_t i;
  char *end;
  long number;
  for (i = 0; i < sizeof errno_names / sizeof errno_names[0]; ++i) {
    if (strcmp(text, errno_names[i].name) == 0) return errno_names[i].number;
  }
  number = strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || number <= 0) return 0;
  return (int)number;
}

static void configure(struct fault *fault) {
  char filter_variable[64];
  const char *value = getenv(fault->variable);
  const char *colon;
  fault->configured = 0;
  fault->calls = 0;
  fault->failures = 0;
  fault->first = 0;
  fault->onwards = 0;
  if (value == NULL || *value == '\0') return;
  colon = strchr(value, ':');
  if (colon != NULL) {
    char *end;
    fault->first = strtol(value, &end, 10);
    fault->onwards = *end == '+';
    if (end == value || fault->first < 1 || end + fault->onwards != colon) {
      bad_setting(fault->variable, value);
    }
  }
  fault->error = parse_errno(colon != NULL ? colon + 1 : value);
  if (fault->error == 0) bad_setting(fault->variable, value);
  snprintf(filter_variable, sizeof filter_variable, "%s_PATH", fault->variable);
  fault->path_filter = getenv(filter_variable);
  fault->configured = 1;
}

static int mentions(const char *path, const char *text) {
  return path != NULL && strstr(path, text) != NULL;
}

/* The error number this call is to fail with, or 0. */
static int injected(enum call which, const char *path1, const char *path2) {
  struct fault *fault = &faults[which];
  if (fault->configured < 0) configure(fault);
  if (!fault->configured) return 0;
  if (fault->path_filter != NULL && !mentions(path1, fault->path_filter) &&
      !mentions(path2, fault->path_filter)) {
    return 0;
  }
  ++fault->calls;
  if (fault->first == 0 || fault->calls == fault->first ||
      (fault->onwards && fault->calls > fault->first)) {
    ++fault->failures;
    return fault->error;
  }
  return 0;
}

/* Forgets the counts and reads the variables again at the next calls. */
void fault_injection_reset(void) {
  size_t i;
  for (i = 0; i < sizeof faults / sizeof faults[0]; ++i) faults[i].configured = -1;
}

/* How many calls the variable's fault has failed since it was read. */
long fault_injection_failures(const char *variable) {
  size_t i;
  for (i = 0; i < sizeof faults / sizeof faults[0]; ++i) {
    if (strcmp(faults[i].variable, variable) == 0 && faults[i].configured > 0) {
      return faults[i].failures;
    }
  }
  return 0;
}

static void *next_definition(const char *name) {
  void *symbol = dlsym(RTLD_NEXT, name);
  if (symbol == NULL) bad_setting("symbol", name);
  return symbol;
}

/* Function pointers from dlsym without the object-to-function cast that ISO
 * C leaves undefined. */
#define REAL(type, name, result)                       \
  do {                                                 \
    static type real_##name;                           \
    if (real_##name == NULL) {                         \
      void *symbol = next_definition(#name);           \
      memcpy(&real_##name, &symbol, sizeof symbol);    \
    }                                                  \
    result = real_##name;                              \
  } while (0)

#define FAIL_IF_INJECTED(which, path1, path2)   \
  do {                                          \
    int error_ = injected(which, path1, path2); \
    if (error_ != 0) {                          \
      errno = error_;                           \
      return -1;                                \
    }                                           \
  } while (0)

typedef int (*rename_fn)(const char *, const char *);
typedef int (*renameat_fn)(int, const char *, int, const char *);
typedef int (*renameat2_fn)(int, const char *, int, const char *, unsigned int);
typedef int (*mkdir_fn)(const char *, mode_t);
typedef int (*mkdirat_fn)(int, const char *, mode_t);
typedef int (*unlink_fn)(const char *);
typedef int (*unlinkat_fn)(int, const char *, int);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*kill_fn)(pid_t, int);

int rename(const char *from, const char *to) {
  rename_fn real;
  FAIL_IF_INJECTED(RENAME, from, to);
  REAL(rename_fn, rename, real);
  return real(from, to);
}

int renameat(int from_dir, const char *from, int to_dir, const char *to) {
  renameat_fn real;
  FAIL_IF_INJECTED(RENAMEAT, from, to);
  REAL(renameat_fn, renameat, real);
  return real(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned int flags) {
  renameat2_fn real;
  FAIL_IF_INJECTED(RENAMEAT2, from, to);
  REAL(renameat2_fn, renameat2, real);
  return real(from_dir, from, to_dir, to, flags);
}

int mkdir(const char *path, mode_t mode) {
  mkdir_fn real;
  FAIL_IF_INJECTED(MKDIR, path, NULL);
  REAL(mkdir_fn, mkdir, real);
  return real(path, mode);
}

int mkdirat(int dir, const char *path, mode_t mode) {
  mkdirat_fn real;
  FAIL_IF_INJECTED(MKDIRAT, path, NULL);
  REAL(mkdirat_fn, mkdirat, real);
  return real(dir, path, mode);
}

int unlink(const char *path) {
  unlink_fn real;
  FAIL_IF_INJECTED(UNLINK, path, NULL);
  REAL(unlink_fn, unlink, real);
  return real(path);
}

int unlinkat(int dir, const char *path, int flags) {
  unlinkat_fn real;
  FAIL_IF_INJECTED(UNLINKAT, path, NULL);
  REAL(unlinkat_fn, unlinkat, real);
  return real(dir, path, flags);
}

int rmdir(const char *path) {
  unlink_fn real;
  FAIL_IF_INJECTED(RMDIR, path, NULL);
  REAL(unlink_fn, rmdir, real);
  return real(path);
}

int openat(int dir, const char *path, int flags, ...) {
  openat_fn real;
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = (mode_t)va_arg(arguments, int);
    va_end(arguments);
  }
  FAIL_IF_INJECTED(OPENAT, path, NULL);
  REAL(openat_fn, openat, real);
  return real(dir, path, flags, mode);
}

int kill(pid_t pid, int signal) {
  kill_fn real;
  FAIL_IF_INJECTED(KILL, NULL, NULL);
  REAL(kill_fn, kill, real);
  return real(pid, signal);
}

/* Takes this library out of LD_PRELOAD, keeping any other entries. */
__attribute__((constructor)) static void leave_children_alone(void) {
  const char *preload = getenv("LD_PRELOAD");
  const char *inherit = getenv("FAULT_INHERIT");
  char kept[4096];
  size_t length = 0;
  const char *start;
  if (preload == NULL || (inherit != NULL && strcmp(inherit, "1") == 0)) return;
  if (strlen(preload) >= sizeof kept) return;
  for (start = preload; *start != '\0';) {
    size_t span = strcspn(start, ": ");
    if (span > 0 && memmem(start, span, "fault_injection", 15) == NULL) {
      if (length > 0) kept[length++] = ':';
      memcpy(kept + length, start, span);
      length += span;
    }
    start += span;
    if (*start != '\0') ++start;
  }
  kept[length] = '\0';
  if (length == 0) {
    unsetenv("LD_PRELOAD");
  } else {
    setenv("LD_PRELOAD", kept, 1);
  }
}
