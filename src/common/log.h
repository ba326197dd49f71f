// Where the service's messages go: console commentary, failure lines and the system log.
#pragma once

#include <cstdio>

// 1 in console mode, 0 in daemon mode. Until the mode is chosen the service is attached to the
// console, so it starts at 1.
extern int verbose;

// True while standard output carries data for a program (tolvu --status --json): failure lines
// meant for it go to standard error instead.
extern bool stdout_is_data;

// Prints the formatted text on standard output when flag is non-zero; does nothing otherwise.
void log_verbose(int flag, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes a failure message to stream (stdout or stderr), and the same text to the system log at
// error priority whenever the stream may not reach it: always for stdout (procd drops it), and in
// daemon mode, where both streams lead to /dev/null, for stderr too.
void log_failure(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes one line to the system log at notice priority.
void log_notice(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Says one line in both places: on the console (in console mode) and in the system log at notice
// priority. The format carries no line end.
void announce(const char* format, ...) __attribute__((format(printf, 1, 2)));
