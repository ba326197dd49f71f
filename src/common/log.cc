#include "common/log.h"

#include <stdarg.h>
#include <syslog.h>

int verbose = 1;
bool stdout_is_data = false;

void log_verbose(int flag, const char* format, ...) {
  if (!flag) return;
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
}

void log_failure(FILE* stream, const char* format, ...) {
  if (stream == stdout && stdout_is_data) stream = stderr;
  va_list args;
  va_start(args, format);
  if (!verbose || stream == stdout) {
    va_list copy;
    va_copy(copy, args);
    vsyslog(LOG_ERR, format, copy);
    va_end(copy);
  }
  vfprintf(stream, format, args);
  fflush(stream);
  va_end(args);
}

void announce(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  log_verbose(verbose, "%s\n", line);
  syslog(LOG_NOTICE, "%s", line);
}

void log_notice(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsyslog(LOG_NOTICE, format, args);
  va_end(args);
}
