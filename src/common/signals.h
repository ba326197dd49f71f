// The signals the service answers: SIGTERM and SIGINT stop it (at once, even mid-upload), SIGUSR1
// runs the next cycle now. The handlers only note what was asked; the main loop acts on it.
#pragma once

#include <cstdint>

// Installs the handlers.
void install_signal_handlers();

// True once SIGTERM or SIGINT has arrived.
bool stop_requested();

// Waits until seconds have passed, a stop is asked for or SIGUSR1 asks for a cycle now, whichever
// comes first. A signal that came before the wait ends it at once. Meanwhile, whenever fd (when
// not -1) has something to read, on_readable runs and the wait goes on. True when a signal ended
// it.
bool wait_for_next_cycle(unsigned seconds, int fd = -1, void (*on_readable)() = nullptr);

// Waits until fd has something to read (true), a stop is asked for, or the monotonic clock
// reaches deadline_ms.
bool wait_readable(int fd, int64_t deadline_ms);

// The monotonic clock, in milliseconds.
int64_t monotonic_ms();

// Forgets signals that came before (for tests, which run the service in one process).
void reset_signal_requests();
