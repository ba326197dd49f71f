// The process: start-up settings, single instance, console or daemon mode, and the main loop.
#pragma once

constexpr const char kLockFile[] = "/tmp/tolvu.lock";
constexpr int kDefaultInterval = 240;

// Seconds between cycles: the polling interval, or half the periodic interval when polling is 0
// or not a number; a negative result falls back to 240, and one below 1 second is raised to 1
// (*raised says so), so that cycles never run back to back.
int report_interval(const char* periodic, const char* polling, bool* raised = nullptr);

// Opens or creates the lock file and takes an exclusive lock on it. Returns the descriptor (never
// 0, 1 or 2), which must stay open while running; or -1, with *problem null when another live
// instance holds the lock, or saying what is wrong with the file (a link, another user's...).
int take_instance_lock(const char* path, const char** problem);

// Opens /dev/null on whichever of descriptors 0, 1 and 2 are closed, so that nothing the service
// opens later can take their place and receive its console output.
void open_standard_descriptors();

// Records the running process's PID in the lock file.
void write_lock_pid(int lock_fd);

// Detaches from the console: two forks, a new session, "/etc/" as working directory, every
// descriptor closed but 0 and the lock, and 1 and 2 on /dev/null. Returns only in the daemon;
// exits 1 on failure.
void daemonize(int lock_fd);

// The whole service, as main runs it with lock_path "/tmp/tolvu.lock". Returns the exit status:
// for --help, --version, --status and a disabled service at once; otherwise it runs until SIGTERM
// or SIGINT, saves its books and returns 0.
int service_main(int argc, char** argv, const char* lock_path);
