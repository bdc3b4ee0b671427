/* Preloadable (LD_PRELOAD) stand-in for the system log: openlog, syslog and
 * closelog append what they were given, one line per call, to the file named
 * by SYSLOG_CAPTURE, and nothing reaches the real log:
 *   openlog <ident> <option> <facility>
 *   syslog <priority> <message>
 *   closelog
 * Linux only (glibc's fortified programs call __syslog_chk). */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void record(const char *line) {
  const char *path = getenv("SYSLOG_CAPTURE");
  if (path == NULL) return;
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  size_t length = strlen(line);
  if (write(fd, line, length) != (ssize_t)length) { /* the test sees a short record */ }
  close(fd);
}

static void record_message(int priority, const char *format, va_list arguments) {
  char message[4096];
  vsnprintf(message, sizeof message, format, arguments);
  char line[4200];
  snprintf(line, sizeof line, "syslog %d %s\n", priority, message);
  record(line);
}

void openlog(const char *ident, int option, int facility) {
  char line[512];
  snprintf(line, sizeof line, "openlog %s %d %d\n", ident ? ident : "(null)", option, facility);
  record(line);
}

void syslog(int priority, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  record_message(priority, format, arguments);
  va_end(arguments);
}

void __syslog_chk(int priority, int flag, const char *format, ...) {
  (void)flag;
  va_list arguments;
  va_start(arguments, format);
  record_message(priority, format, arguments);
  va_end(arguments);
}

void closelog(void) { record("closelog\n"); }
