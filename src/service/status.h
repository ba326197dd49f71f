// `tolvu --status`: what the running service is doing, for a person or as JSON, without
// disturbing it.
#pragma once

#include <stdint.h>
#include <sys/types.h>

// The PID of the service holding the lock at lock_path; 0 when none runs. Takes no lock: it looks
// the lock up in the kernel's table of locks.
pid_t running_service(const char* lock_path);

// Prints whether the service runs, the module interface and its route, the last accepted report,
// the traffic not yet accepted (with what is carried over and what is kept on flash) and the last
// cycle: as lines for a person, or with json as one JSON object whose numbers are all integers.
// A hold the server asked for is shown only while the service keeps it (max_report_interval).
// Returns 0 when the service runs, 3 when not.
int print_status(const char* lock_path, bool json, int64_t max_report_interval);
