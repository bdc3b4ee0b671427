/*
 * Fault injection for tests (Linux): makes chosen system calls fail, so that
 * failure paths run without editing the code under test, and can stop the
 * process at a chosen call, so that a test can kill it there.
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
 *   FAULT_<CALL>=@<key>:<errno>  every call whose key ends with <key> fails;
 *   FAULT_<CALL>=@<key>:<n>:<errno>, FAULT_<CALL>=@<key>:<n>+:<errno>
 *                                the n-th (and later) of those calls only.
 *                                The key of a call is the path it touches:
 *                                the path argument (either path of a
 *                                rename), the program of a posix_spawn, and
 *                                for WRITE, READ and FSYNC the path the
 *                                descriptor was opened with (see below).
 *                                Rows keyed so survive reordered steps; the
 *                                count alone is for calls a key cannot tell
 *                                apart (the 4th write of a run).
 *   FAULT_<CALL>_PATH=<text>     only calls whose subject contains <text> (ends
 *                                with it, when <text> ends in "$") are counted,
 *                                and can fail or stop
 *   FAULT_<CALL>_FD=<fd>         only calls on descriptor <fd> are counted
 *                                (WRITE)
 *   FAULT_<CALL>_STOP=<n>        the process stops itself (SIGSTOP) just
 *                                before the n-th counted call is made
 *   FAULT_STOP=<n>               the same before the n-th intercepted call of
 *                                any kind
 *   FAULT_AFTER=<CALL>:<text>    no call counts for any fault until a <CALL>
 *                                whose subject contains <text> has been made
 *   FAULT_TRACE=<file>           every intercepted call is appended to <file>
 *                                as "<seq> <CALL> <n> <errno> <subject>", <n>
 *                                being the call's count ("-" when a filter
 *                                left it out) and <errno> 0 unless failed;
 *                                a WRITE adds " : fd=<fd> " and the first
 *                                line of its data; a stop adds "<seq> STOP"
 *   FAULT_INHERIT=1              keep LD_PRELOAD for child processes
 * <CALL>: RENAME, RENAMEAT, RENAMEAT2, MKDIR, MKDIRAT, UNLINK, UNLINKAT,
 * RMDIR, OPEN, OPENAT, OPENDIR, FDOPENDIR, READDIR, STAT, LSTAT, POSIX_SPAWN,
 * WAITPID, CONNECT, KILL, WRITE, READ, FSYNC. <errno>: a name (EXDEV, EACCES,
 * ENOTEMPTY, ...) or a number. A malformed value ends the process with a
 * message and status 125.
 *
 * The subject of a call is its path (both paths for renames, "from -> to");
 * for READDIR and FDOPENDIR the directory's path; for WRITE, READ and FSYNC
 * the path the descriptor was opened with, as /proc/self/fd showed it at the
 * open or openat (a file renamed since keeps its first name), else as it
 * shows it now ("/dev/null", "pipe:[...]"); for POSIX_SPAWN the program, for
 * CONNECT "127.0.0.1:3000", for KILL "pid <pid> signal <n>", for WAITPID
 * "WNOHANG" or "blocking".
 *
 * How each call fails: as the system fails it, -1 or NULL with errno set;
 * posix_spawn returns the error number and leaves errno alone. A failed
 * readdir returns NULL with errno set, as a failed read of the directory does.
 * open64, openat64, stat64, lstat64 and readdir64 count as OPEN, OPENAT,
 * STAT, LSTAT and READDIR. Calls that glibc makes internally (opendir's own
 * open, stdio's writes) never pass through here.
 *
 * READ and FSYNC are seen only while a FAULT_READ* or FAULT_FSYNC* variable
 * is set: otherwise they pass through untraced and uncounted, so that traces
 * and FAULT_STOP's count of calls stay those of the other calls.
 *
 * Unless FAULT_INHERIT=1, the library takes itself out of LD_PRELOAD when it
 * is loaded, so the tools the program starts (ditto, ...) run unaffected.
 * Each call is counted and traced under one lock: the installer rebuilds a
 * delta update's large patched files on two threads.
 *
 * To add a call: one entry in `enum call` and `faults`, one wrapper below.
 */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

enum call {
  RENAME, RENAMEAT, RENAMEAT2, MKDIR, MKDIRAT, UNLINK, UNLINKAT, RMDIR, OPEN, OPENAT,
  OPENDIR, FDOPENDIR, READDIR, STAT, LSTAT, POSIX_SPAWN, WAITPID, CONNECT, KILL, WRITE,
  READ, FSYNC
};

struct fault {
  const char *variable;
  int configured;  /* -1 not read yet, 0 no fault, 1 fault */
  int error;
  long first;      /* first call (from 1) that fails; 0: every call */
  int onwards;     /* later calls fail too */
  const char *path_filter;
  int key_filter;  /* path_filter is a key: the subject must end with it */
  char key[1024];
  int fd_filter;   /* -1: any descriptor */
  long stop_at;    /* 0: never */
  long calls;
  long failures;
};

#define FAULT(name) {"FAULT_" #name, -1, 0, 0, 0, NULL, 0, "", -1, 0, 0, 0}
static struct fault faults[] = {
    [RENAME] = FAULT(RENAME),       [RENAMEAT] = FAULT(RENAMEAT),
    [RENAMEAT2] = FAULT(RENAMEAT2), [MKDIR] = FAULT(MKDIR),
    [MKDIRAT] = FAULT(MKDIRAT),     [UNLINK] = FAULT(UNLINK),
    [UNLINKAT] = FAULT(UNLINKAT),   [RMDIR] = FAULT(RMDIR),
    [OPEN] = FAULT(OPEN),           [OPENAT] = FAULT(OPENAT),
    [OPENDIR] = FAULT(OPENDIR),     [FDOPENDIR] = FAULT(FDOPENDIR),
    [READDIR] = FAULT(READDIR),     [STAT] = FAULT(STAT),
    [LSTAT] = FAULT(LSTAT),         [POSIX_SPAWN] = FAULT(POSIX_SPAWN),
    [WAITPID] = FAULT(WAITPID),     [CONNECT] = FAULT(CONNECT),
    [KILL] = FAULT(KILL),           [WRITE] = FAULT(WRITE),
    [READ] = FAULT(READ),           [FSYNC] = FAULT(FSYNC),
};
#define CALL_COUNT (sizeof faults / sizeof faults[0])

/* State shared by every call: the global sequence, FAULT_STOP, FAULT_TRACE. */
static int globals_read;
static long sequence;
static long stop_sequence;
static int trace_fd = -1;
static int gate_open = 1;
static int gate_call = -1;
static const char *gate_text;

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
    {"ENOTSUP", ENOTSUP}, {"EDQUOT", EDQUOT},     {"ESTALE", ESTALE}, {"ECHILD", ECHILD},
    {"EPIPE", EPIPE},   {"EFBIG", EFBIG},         {"ENFILE", ENFILE}, {"E2BIG", E2BIG},
    {"ENOEXEC", ENOEXEC}, {"ETXTBSY", ETXTBSY},   {"ECONNREFUSED", ECONNREFUSED},
    {"ENETUNREACH", ENETUNREACH}, {"ETIMEDOUT", ETIMEDOUT}, {"EADDRNOTAVAIL", EADDRNOTAVAIL},
};

/* Raw system calls only: write() and open() are wrapped here themselves. */
static void raw_write(int fd, const char *text, size_t length) {
  while (length > 0) {
    long written = syscall(SYS_write, fd, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= (size_t)written;
  }
}

static void bad_setting(const char *variable, const char *value) {
  static const char prefix[] = "fault_injection: cannot read ";
  raw_write(STDERR_FILENO, prefix, sizeof prefix - 1);
  raw_write(STDERR_FILENO, variable, strlen(variable));
  raw_write(STDERR_FILENO, "=", 1);
  raw_write(STDERR_FILENO, value, strlen(value));
  raw_write(STDERR_FILENO, "\n", 1);
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

/* A count of 1 or more from `variable`, or 0 when it is unset. */
static long read_count(const char *variable) {
  const char *value = getenv(variable);
  char *end;
  long number;
  if (value == NULL || *value == '\0') return 0;
  number = strtol(value, &end, 10);
  if (*end != '\0' || number < 1) bad_setting(variable, value);
  return number;
}

/* A descriptor number from `variable`, or -1 when it is unset. */
static int read_descriptor(const char *variable) {
  const char *value = getenv(variable);
  char *end;
  long number;
  if (value == NULL || *value == '\0') return -1;
  number = strtol(value, &end, 10);
  if (*end != '\0' || number < 0 || number > 65535) bad_setting(variable, value);
  return (int)number;
}

/* FAULT_AFTER=<CALL>:<text>: the call that opens the gate. */
static void read_gate(void) {
  const char *value = getenv("FAULT_AFTER");
  const char *colon;
  size_t i;
  gate_open = 1;
  gate_call = -1;
  gate_text = NULL;
  if (value == NULL || *value == '\0') return;
  colon = strchr(value, ':');
  if (colon == NULL) bad_setting("FAULT_AFTER", value);
  for (i = 0; i < CALL_COUNT; ++i) {
    const char *name = faults[i].variable + 6;
    if (strlen(name) == (size_t)(colon - value) && strncmp(name, value, strlen(name)) == 0) {
      gate_call = (int)i;
    }
  }
  if (gate_call < 0) bad_setting("FAULT_AFTER", value);
  gate_text = colon + 1;
  gate_open = 0;
}

static void read_globals(void) {
  const char *trace = getenv("FAULT_TRACE");
  globals_read = 1;
  read_gate();
  sequence = 0;
  stop_sequence = read_count("FAULT_STOP");
  if (trace_fd >= 0) syscall(SYS_close, trace_fd);
  trace_fd = -1;
  if (trace != NULL && *trace != '\0') {
    trace_fd = (int)syscall(SYS_openat, AT_FDCWD, trace,
                            O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (trace_fd < 0) bad_setting("FAULT_TRACE", trace);
  }
}

/* "@<key>:[<n>[+]:]<errno>": keeps the key as the fault's filter and returns
 * what follows it, "[<n>[+]:]<errno>". The key ends at the last colon, or at
 * the one before a count, so that it may hold colons itself. */
static const char *read_key(struct fault *fault, const char *value) {
  const char *end = strrchr(value, ':');
  const char *count;
  size_t length;
  if (end == NULL || end == value + 1) bad_setting(fault->variable, value);
  count = end;
  while (count > value + 1 && count[-1] != ':') --count;
  if (count > value + 1 && count < end) {
    const char *digit = count;
    while (digit < end && *digit >= '0' && *digit <= '9') ++digit;
    if (digit < end && *digit == '+') ++digit;
    if (digit == end && *count != '+') end = count - 1;
  }
  length = (size_t)(end - value - 1);
  if (length == 0 || length >= sizeof fault->key) bad_setting(fault->variable, value);
  memcpy(fault->key, value + 1, length);
  fault->key[length] = '\0';
  fault->path_filter = fault->key;
  fault->key_filter = 1;
  return end + 1;
}

static void configure(struct fault *fault) {
  char variable[64];
  const char *value = getenv(fault->variable);
  const char *colon;
  fault->configured = 0;
  fault->error = 0;
  fault->calls = 0;
  fault->failures = 0;
  fault->first = 0;
  fault->onwards = 0;
  snprintf(variable, sizeof variable, "%s_PATH", fault->variable);
  fault->path_filter = getenv(variable);
  if (fault->path_filter != NULL && *fault->path_filter == '\0') fault->path_filter = NULL;
  snprintf(variable, sizeof variable, "%s_FD", fault->variable);
  fault->fd_filter = read_descriptor(variable);
  snprintf(variable, sizeof variable, "%s_STOP", fault->variable);
  fault->stop_at = read_count(variable);
  fault->key_filter = 0;
  if (value == NULL || *value == '\0') return;
  if (value[0] == '@') value = read_key(fault, value);
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
  fault->configured = 1;
}

/* Whether `subject` contains `filter`; a filter ending in "$" must end it. */
static int mentions(const char *subject, const char *filter) {
  size_t filter_length, subject_length;
  if (subject == NULL) return 0;
  filter_length = strlen(filter);
  if (filter_length == 0 || filter[filter_length - 1] != '$') return strstr(subject, filter) != NULL;
  --filter_length;
  subject_length = strlen(subject);
  return subject_length >= filter_length &&
         memcmp(subject + subject_length - filter_length, filter, filter_length) == 0;
}

/* Whether `subject` passes the fault's path filter or ends with its key. */
static int filtered_in(const struct fault *fault, const char *subject) {
  size_t key_length, subject_length;
  if (!fault->key_filter) return mentions(subject, fault->path_filter);
  if (subject == NULL) return 0;
  key_length = strlen(fault->key);
  subject_length = strlen(subject);
  return subject_length >= key_length &&
         memcmp(subject + subject_length - key_length, fault->key, key_length) == 0;
}

/* Whether the wrapper must work out a subject it does not have for free. */
static int wants_subject(enum call which) {
  struct fault *fault = &faults[which];
  if (!globals_read) read_globals();
  if (fault->configured < 0) configure(fault);
  return trace_fd >= 0 || fault->path_filter != NULL || (!gate_open && gate_call == (int)which);
}

/* "fd=<fd> " and what a write writes, up to its first line, for the trace. */
static void describe_write(int fd, const void *data, size_t size, char *buffer,
                           size_t buffer_size) {
  const char *text = data;
  int prefix = snprintf(buffer, buffer_size, "fd=%d ", fd);
  size_t length = prefix > 0 ? (size_t)prefix : 0;
  size_t i;
  for (i = 0; i < size && length + 1 < buffer_size && text[i] != '\n' && text[i] != '\0'; ++i) {
    buffer[length++] = text[i];
  }
  buffer[length] = '\0';
}

static void trace_line(long number, enum call which, long count, int error, const char *subject1,
                       const char *subject2, const char *detail) {
  char line[4096];
  char count_text[32];
  int length;
  if (trace_fd < 0) return;
  if (count > 0) {
    snprintf(count_text, sizeof count_text, "%ld", count);
  } else {
    strcpy(count_text, "-");
  }
  length = snprintf(line, sizeof line, "%ld %s %s %d %s%s%s%s%s\n", number,
                    faults[which].variable + 6, count_text, error,
                    subject1 != NULL ? subject1 : "", subject2 != NULL ? " -> " : "",
                    subject2 != NULL ? subject2 : "", detail != NULL ? " : " : "",
                    detail != NULL ? detail : "");
  if (length < 0) return;
  if ((size_t)length >= sizeof line) {
    length = (int)sizeof line - 1;
    line[length - 1] = '\n';
  }
  raw_write(trace_fd, line, (size_t)length);
}

static void stop_here(long number) {
  char line[48];
  int length = snprintf(line, sizeof line, "%ld STOP\n", number);
  if (trace_fd >= 0 && length > 0) raw_write(trace_fd, line, (size_t)length);
  raise(SIGSTOP);
}

/* The error number this call is to fail with, or 0. Leaves errno as it was:
 * callers such as readdir's tell the end of a listing by an unchanged errno. */
static int injected_on_locked(enum call which, int fd, const char *subject1,
                              const char *subject2, const char *detail) {
  struct fault *fault = &faults[which];
  int saved_errno = errno;
  int error = 0;
  long number;
  int selected;
  if (!globals_read) read_globals();
  if (fault->configured < 0) configure(fault);
  number = ++sequence;
  selected = gate_open &&
             (fault->path_filter == NULL || filtered_in(fault, subject1) ||
              filtered_in(fault, subject2)) &&
             (fault->fd_filter < 0 || fault->fd_filter == fd);
  if (selected) {
    ++fault->calls;
    if (fault->configured > 0 &&
        (fault->first == 0 || fault->calls == fault->first ||
         (fault->onwards && fault->calls > fault->first))) {
      ++fault->failures;
      error = fault->error;
    }
  }
  trace_line(number, which, selected ? fault->calls : 0, error, subject1, subject2, detail);
  if (!gate_open && (int)which == gate_call &&
      (mentions(subject1, gate_text) || mentions(subject2, gate_text))) {
    gate_open = 1;
  }
  if (number == stop_sequence || (selected && fault->calls == fault->stop_at)) stop_here(number);
  errno = saved_errno;
  return error;
}

/* Nothing done under it makes a wrapped call: it is never taken twice. */
static pthread_mutex_t counting = PTHREAD_MUTEX_INITIALIZER;

static int injected_on(enum call which, int fd, const char *subject1, const char *subject2,
                       const char *detail) {
  int error;
  pthread_mutex_lock(&counting);
  error = injected_on_locked(which, fd, subject1, subject2, detail);
  pthread_mutex_unlock(&counting);
  return error;
}

static int injected(enum call which, const char *subject1, const char *subject2) {
  return injected_on(which, -1, subject1, subject2, NULL);
}

/* Forgets the counts and reads the variables again at the next calls. */
void fault_injection_reset(void) {
  size_t i;
  for (i = 0; i < CALL_COUNT; ++i) faults[i].configured = -1;
  globals_read = 0;
}

/* How many calls the variable's fault has failed since it was read. */
long fault_injection_failures(const char *variable) {
  size_t i;
  for (i = 0; i < CALL_COUNT; ++i) {
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

/* The path behind a descriptor, as /proc shows it; "?" when unknown. */
static const char *descriptor_path(int fd, char *buffer, size_t size) {
  char link[64];
  ssize_t length;
  int saved_errno = errno;
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  length = readlink(link, buffer, size - 1);
  errno = saved_errno;
  if (length < 0) return "?";
  buffer[length] = '\0';
  return buffer;
}

/* The paths descriptors were opened with, noted at each open so that a
 * write, read or fsync is keyed on the file even after a rename; the device
 * and inode tell a noted path from a stale one of a reused number. */
#define NOTED_DESCRIPTORS 256
static struct {
  dev_t device;
  ino_t inode;
  char path[1024];
} noted[NOTED_DESCRIPTORS];

static void note_descriptor(int fd) {
  struct stat status;
  char buffer[sizeof noted[0].path];
  int saved_errno = errno;
  if (fd < 0 || fd >= NOTED_DESCRIPTORS) return;
  noted[fd].path[0] = '\0';
  if (syscall(SYS_fstat, fd, &status) == 0 &&
      descriptor_path(fd, buffer, sizeof buffer) == buffer && buffer[0] == '/') {
    noted[fd].device = status.st_dev;
    noted[fd].inode = status.st_ino;
    memcpy(noted[fd].path, buffer, sizeof buffer);
  }
  errno = saved_errno;
}

/* The path `fd` was opened with, else what /proc shows now. */
static const char *opened_path(int fd, char *buffer, size_t size) {
  struct stat status;
  int saved_errno = errno;
  if (fd >= 0 && fd < NOTED_DESCRIPTORS && noted[fd].path[0] != '\0' &&
      syscall(SYS_fstat, fd, &status) == 0 && status.st_dev == noted[fd].device &&
      status.st_ino == noted[fd].inode) {
    errno = saved_errno;
    return noted[fd].path;
  }
  errno = saved_errno;
  return descriptor_path(fd, buffer, size);
}

/* READ and FSYNC take part only while one of their variables is set. */
static int opted_in(enum call which) {
  struct fault *fault = &faults[which];
  if (!globals_read) read_globals();
  if (fault->configured < 0) configure(fault);
  return fault->configured > 0 || fault->path_filter != NULL || fault->fd_filter >= 0 ||
         fault->stop_at > 0;
}

typedef int (*rename_fn)(const char *, const char *);
typedef int (*renameat_fn)(int, const char *, int, const char *);
typedef int (*renameat2_fn)(int, const char *, int, const char *, unsigned int);
typedef int (*mkdir_fn)(const char *, mode_t);
typedef int (*mkdirat_fn)(int, const char *, mode_t);
typedef int (*unlink_fn)(const char *);
typedef int (*unlinkat_fn)(int, const char *, int);
typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef DIR *(*opendir_fn)(const char *);
typedef DIR *(*fdopendir_fn)(int);
typedef struct dirent *(*readdir_fn)(DIR *);
typedef struct dirent64 *(*readdir64_fn)(DIR *);
typedef int (*stat_fn)(const char *, struct stat *);
typedef int (*stat64_fn)(const char *, struct stat64 *);
typedef int (*posix_spawn_fn)(pid_t *, const char *, const posix_spawn_file_actions_t *,
                              const posix_spawnattr_t *, char *const[], char *const[]);
typedef pid_t (*waitpid_fn)(pid_t, int *, int);
typedef int (*connect_fn)(int, __CONST_SOCKADDR_ARG, socklen_t);
typedef int (*kill_fn)(pid_t, int);
typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef ssize_t (*read_fn)(int, void *, size_t);
typedef int (*fsync_fn)(int);

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

/* The mode argument exists only with O_CREAT or O_TMPFILE. */
#define MODE_ARGUMENT(flags, mode)                  \
  do {                                              \
    if ((flags) & (O_CREAT | O_TMPFILE)) {          \
      va_list arguments;                            \
      va_start(arguments, flags);                   \
      mode = (mode_t)va_arg(arguments, int);        \
      va_end(arguments);                            \
    }                                               \
  } while (0)

int open(const char *path, int flags, ...) {
  open_fn real;
  int fd;
  mode_t mode = 0;
  MODE_ARGUMENT(flags, mode);
  FAIL_IF_INJECTED(OPEN, path, NULL);
  REAL(open_fn, open, real);
  fd = real(path, flags, mode);
  note_descriptor(fd);
  return fd;
}

int open64(const char *path, int flags, ...) {
  open_fn real;
  int fd;
  mode_t mode = 0;
  MODE_ARGUMENT(flags, mode);
  FAIL_IF_INJECTED(OPEN, path, NULL);
  REAL(open_fn, open64, real);
  fd = real(path, flags, mode);
  note_descriptor(fd);
  return fd;
}

int openat(int dir, const char *path, int flags, ...) {
  openat_fn real;
  int fd;
  mode_t mode = 0;
  MODE_ARGUMENT(flags, mode);
  FAIL_IF_INJECTED(OPENAT, path, NULL);
  REAL(openat_fn, openat, real);
  fd = real(dir, path, flags, mode);
  note_descriptor(fd);
  return fd;
}

int openat64(int dir, const char *path, int flags, ...) {
  openat_fn real;
  int fd;
  mode_t mode = 0;
  MODE_ARGUMENT(flags, mode);
  FAIL_IF_INJECTED(OPENAT, path, NULL);
  REAL(openat_fn, openat64, real);
  fd = real(dir, path, flags, mode);
  note_descriptor(fd);
  return fd;
}

DIR *opendir(const char *path) {
  opendir_fn real;
  int error = injected(OPENDIR, path, NULL);
  if (error != 0) {
    errno = error;
    return NULL;
  }
  REAL(opendir_fn, opendir, real);
  return real(path);
}

DIR *fdopendir(int fd) {
  fdopendir_fn real;
  char buffer[4096];
  const char *subject = wants_subject(FDOPENDIR) ? descriptor_path(fd, buffer, sizeof buffer) : NULL;
  int error = injected_on(FDOPENDIR, fd, subject, NULL, NULL);
  if (error != 0) {
    errno = error;
    return NULL;
  }
  REAL(fdopendir_fn, fdopendir, real);
  return real(fd);
}

/* The directory a listing reads, for filters and the trace. */
static const char *listing_subject(DIR *dir, char *buffer, size_t size) {
  int fd;
  if (!wants_subject(READDIR)) return NULL;
  fd = dir != NULL ? dirfd(dir) : -1;
  return fd >= 0 ? descriptor_path(fd, buffer, size) : "?";
}

struct dirent *readdir(DIR *dir) {
  readdir_fn real;
  char buffer[4096];
  int error = injected(READDIR, listing_subject(dir, buffer, sizeof buffer), NULL);
  if (error != 0) {
    errno = error;
    return NULL;
  }
  REAL(readdir_fn, readdir, real);
  return real(dir);
}

struct dirent64 *readdir64(DIR *dir) {
  readdir64_fn real;
  char buffer[4096];
  int error = injected(READDIR, listing_subject(dir, buffer, sizeof buffer), NULL);
  if (error != 0) {
    errno = error;
    return NULL;
  }
  REAL(readdir64_fn, readdir64, real);
  return real(dir);
}

int stat(const char *path, struct stat *status) {
  stat_fn real;
  FAIL_IF_INJECTED(STAT, path, NULL);
  REAL(stat_fn, stat, real);
  return real(path, status);
}

int stat64(const char *path, struct stat64 *status) {
  stat64_fn real;
  FAIL_IF_INJECTED(STAT, path, NULL);
  REAL(stat64_fn, stat64, real);
  return real(path, status);
}

int lstat(const char *path, struct stat *status) {
  stat_fn real;
  FAIL_IF_INJECTED(LSTAT, path, NULL);
  REAL(stat_fn, lstat, real);
  return real(path, status);
}

int lstat64(const char *path, struct stat64 *status) {
  stat64_fn real;
  FAIL_IF_INJECTED(LSTAT, path, NULL);
  REAL(stat64_fn, lstat64, real);
  return real(path, status);
}

/* posix_spawn reports its error as the result, not in errno. */
int posix_spawn(pid_t *pid, const char *program, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attributes, char *const argv[], char *const envp[]) {
  posix_spawn_fn real;
  int error = injected(POSIX_SPAWN, program, NULL);
  if (error != 0) return error;
  REAL(posix_spawn_fn, posix_spawn, real);
  return real(pid, program, actions, attributes, argv, envp);
}

pid_t waitpid(pid_t pid, int *status, int options) {
  waitpid_fn real;
  FAIL_IF_INJECTED(WAITPID, (options & WNOHANG) ? "WNOHANG" : "blocking", NULL);
  REAL(waitpid_fn, waitpid, real);
  return real(pid, status, options);
}

/* glibc declares the address as a transparent union in GNU C. */
#if defined(__USE_GNU) && !defined(__cplusplus)
#define SOCKADDR_POINTER(argument) ((argument).__sockaddr__)
#else
#define SOCKADDR_POINTER(argument) (argument)
#endif

int connect(int fd, __CONST_SOCKADDR_ARG target, socklen_t length) {
  connect_fn real;
  const struct sockaddr *address = SOCKADDR_POINTER(target);
  char subject[64] = "?";
  if (address != NULL && address->sa_family == AF_INET && length >= sizeof(struct sockaddr_in)) {
    const struct sockaddr_in *inet = (const struct sockaddr_in *)(const void *)address;
    char host[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &inet->sin_addr, host, sizeof host) != NULL) {
      snprintf(subject, sizeof subject, "%s:%u", host, (unsigned)ntohs(inet->sin_port));
    }
  }
  {
    int error = injected_on(CONNECT, fd, subject, NULL, NULL);
    if (error != 0) {
      errno = error;
      return -1;
    }
  }
  REAL(connect_fn, connect, real);
  return real(fd, target, length);
}

int kill(pid_t pid, int signal) {
  kill_fn real;
  char subject[64];
  snprintf(subject, sizeof subject, "pid %ld signal %d", (long)pid, signal);
  FAIL_IF_INJECTED(KILL, subject, NULL);
  REAL(kill_fn, kill, real);
  return real(pid, signal);
}

ssize_t write(int fd, const void *data, size_t size) {
  write_fn real;
  char buffer[4096];
  char detail[160];
  const char *subject = NULL;
  int error;
  if (wants_subject(WRITE)) {
    subject = opened_path(fd, buffer, sizeof buffer);
    describe_write(fd, data, size, detail, sizeof detail);
  }
  error = injected_on(WRITE, fd, subject, NULL, subject != NULL ? detail : NULL);
  if (error != 0) {
    errno = error;
    return -1;
  }
  REAL(write_fn, write, real);
  return real(fd, data, size);
}

/* The error a READ or FSYNC on `fd` is to fail with, or 0. */
static int descriptor_fault(enum call which, int fd) {
  char buffer[4096];
  if (!opted_in(which)) return 0;
  return injected_on(which, fd, opened_path(fd, buffer, sizeof buffer), NULL, NULL);
}

ssize_t read(int fd, void *data, size_t size) {
  read_fn real;
  int error = descriptor_fault(READ, fd);
  if (error != 0) {
    errno = error;
    return -1;
  }
  REAL(read_fn, read, real);
  return real(fd, data, size);
}

int fsync(int fd) {
  fsync_fn real;
  int error = descriptor_fault(FSYNC, fd);
  if (error != 0) {
    errno = error;
    return -1;
  }
  REAL(fsync_fn, fsync, real);
  return real(fd);
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
