#include "service/service.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "common/child_query.h"
#include "common/key_value.h"
#include "common/log.h"
#include "common/private_file.h"
#include "common/resources.h"
#include "common/signals.h"
#include "inputs/config.h"
#include "report/cycle.h"
#include "report/upload.h"
#include "service/schedule.h"
#include "service/status.h"

namespace {

const char kUsage[] =
    "Usage: tolvu [--daemon | --status [--json]]\n"
    "Reports the cellular module's traffic to the management server.\n"
    "\n"
    "  --daemon         detach from the console; only system-log lines remain\n"
    "  --status         show whether the service runs, the module's route, the last report and\n"
    "                   the traffic not yet accepted; exit status 0 when it runs, 3 when not\n"
    "  --status --json  the same as one JSON object\n"
    "  --help           show this text\n"
    "  --version        show the version\n"
    "\n"
    "SIGTERM or SIGINT stop it, keeping what is not yet accepted; SIGUSR1 runs a cycle now.\n"
    "Settings come from UCI (easycwmp, network); see the README.\n";

void preset(ConfigField& field, const char* text) {
  copy_text(field.data(), field.size(), text);
}

void fork_or_exit() {
  pid_t pid = fork();
  if (pid < 0) exit(1);
  if (pid > 0) exit(0);
}

// The settings are numbers as atoi reads them: leading digits, anything else is 0. Operators'
// configurations rely on that reading, so it stays.
int setting_number(const char* text) {
  return atoi(text);  // NOLINT(cert-err34-c)
}

// The same open file on a descriptor above 2, where console output can never land.
int above_standard_streams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

// easycwmp.bandwidth.OPTION as a count (bytes or seconds): decimal digits only, at most max.
// Unset, it is fallback; anything else is said in one line, and is fallback too.
uint64_t bandwidth_count(const char* option, uint64_t fallback, uint64_t max) {
  ConfigField text{};
  config_get(text, "easycwmp", "bandwidth", option);
  uint64_t value = 0;
  if (!text[0]) return fallback;
  if (parse_decimal(text.data(), max, &value)) return value;
  log_failure(stderr,
              "easycwmp.bandwidth.%s '%s' is not a non-negative number: using %" PRIu64 "\n",
              option, text.data(), fallback);
  return fallback;
}

// The report policy's settings, each checked.
ReportPolicy read_policy() {
  constexpr uint64_t kMaxSeconds = uint64_t{1} << 40;  // beyond any router's life
  ReportPolicy policy;
  policy.min_report_bytes =
      bandwidth_count("min_report_bytes", policy.min_report_bytes, UINT64_MAX);
  policy.max_report_interval = static_cast<int64_t>(bandwidth_count(
      "max_report_interval", static_cast<uint64_t>(policy.max_report_interval), kMaxSeconds));
  policy.persist_interval = static_cast<int64_t>(bandwidth_count(
      "persist_interval", static_cast<uint64_t>(policy.persist_interval), kMaxSeconds));
  policy.report_id = config_is("easycwmp", "bandwidth", "report_id", "1");
  policy.report_sim = config_is("easycwmp", "bandwidth", "report_sim", "1");
  policy.sim_check_interval = static_cast<int64_t>(bandwidth_count(
      "sim_check_interval", static_cast<uint64_t>(policy.sim_check_interval), kMaxSeconds));
  return policy;
}

}  // namespace

int report_interval(const char* periodic, const char* polling, bool* raised) {
  int interval = setting_number(polling);
  if (interval == 0) interval = setting_number(periodic) / 2;
  if (interval < 0) return kDefaultInterval;
  if (raised) *raised = interval < 1;
  return interval < 1 ? 1 : interval;
}

int take_instance_lock(const char* path, const char** problem) {
  ScopedFd fd(above_standard_streams(open_private_file(path, O_RDWR | O_CREAT, problem)));
  if (fd.get() < 0) {
    if (!*problem) *problem = strerror(errno);
    return -1;
  }
  *problem = nullptr;
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return -1;
  return fd.release();
}

void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

void write_lock_pid(int lock_fd) {
  char pid[32];
  int n = snprintf(pid, sizeof(pid), "%d\n", static_cast<int>(getpid()));
  if (ftruncate(lock_fd, 0) != 0 || pwrite(lock_fd, pid, static_cast<size_t>(n), 0) != n) {
    // The PID is a courtesy to operators; the lock itself is what keeps one instance.
  }
}

void daemonize(int lock_fd) {
  fork_or_exit();
  if (setsid() < 0) exit(1);
  signal(SIGCHLD, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  fork_or_exit();
  umask(0);
  if (chdir("/etc/") != 0) {
    // Staying in the old directory is harmless: the service opens only absolute paths.
  }

  // The log's socket is among the descriptors about to close; drop it first so that no later
  // message can go to whatever file or socket takes its number.
  closelog();
  long max_fd = sysconf(_SC_OPEN_MAX);
  if (max_fd < 0) max_fd = 1024;
  for (long fd = max_fd; fd >= 1; --fd) {
    if (fd != lock_fd) close(static_cast<int>(fd));
  }
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (null_fd > 2) close(null_fd);
  }
}

namespace {

// The start-up settings, with their defaults.
struct StartSettings {
  ConfigField periodic{}, polling{}, enabled{}, tls_resume{};
};

StartSettings read_start_settings() {
  StartSettings s;
  preset(s.periodic, "600");
  preset(s.polling, "240");
  preset(s.enabled, "1");
  preset(s.tls_resume, "1");
  config_get(s.periodic, "easycwmp", "@acs[0]", "periodic_interval");
  config_get(s.polling, "easycwmp", "@acs[0]", "bwpolling_interval");
  config_get(s.enabled, "easycwmp", "bandwidth", "enabled");
  config_get(s.tls_resume, "easycwmp", "bandwidth", "tls_resume");
  return s;
}

// The lock of the one instance, or exit 1 with why not.
int lock_or_exit(const char* lock_path) {
  const char* problem = nullptr;
  int lock_fd = take_instance_lock(lock_path, &problem);
  if (lock_fd >= 0) return lock_fd;
  if (problem)
    fprintf(stderr,
            "Cannot use the lock file %s: it %s. Not starting; remove it if it is not "
            "yours to keep.\n",
            lock_path, problem);
  else
    fputs("I am already running!\n", stderr);
  exit(1);
}

// Stays on the console, or detaches as a daemon; says so with the interval either way.
void choose_mode(bool daemon, int lock_fd, int periodic, int interval) {
  if (!daemon) {
    verbose = 1;
    log_verbose(1, "Acs bandwidth Started not daemonized.\n");
    log_verbose(verbose, "Acs Timeout value: %d using %d\n", periodic, interval);
    return;
  }
  daemonize(lock_fd);
  openlog("OxelACS", LOG_PID, LOG_DAEMON);
  syslog(LOG_NOTICE, "Acs bandwidth daemon Started.");
  syslog(LOG_NOTICE, "Acs Timeout value: %d using %d\n", periodic, interval);
  verbose = 0;
}

// The main loop, until SIGTERM or SIGINT: a cycle, then a wait for the next one; then the stop
// keeps the books. A wait that ends with the clock off the moment goes on to the next moment;
// SIGUSR1 ends it at once.
void run_until_stopped(const Schedule& schedule) {
  int64_t wait = seconds_to_cycle(schedule, time(nullptr), Since::kStart);
  while (!stop_requested()) {
    if (wait > 0) {
      bool asked =
          wait_for_next_cycle(static_cast<unsigned>(wait), link_events_fd(), follow_link_events);
      wait = asked ? 0 : seconds_to_cycle(schedule, time(nullptr), Since::kWait);
      continue;
    }
    syslog(LOG_NOTICE, "Acs Running Bandwidth Monitor.");
    update_bandwidth();
    wait = seconds_to_cycle(schedule, time(nullptr), Since::kCycle);
  }
  stop_accounting();
}

}  // namespace

int service_main(int argc, char** argv, const char* lock_path) {
  const char* first = argc > 1 ? argv[1] : "";
  if (strcmp(first, "--help") == 0) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (strcmp(first, "--version") == 0) {
    printf("tolvu %s\n", TOLVU_VERSION);
    return 0;
  }
  open_standard_descriptors();
  if (strcmp(first, "--status") == 0)
    return print_status(lock_path, argc > 2 && strcmp(argv[2], "--json") == 0,
                        read_policy().max_report_interval);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  // 1. Settings, the interval and the enabled switch.
  setlogmask(LOG_UPTO(LOG_NOTICE));
  openlog("tolvu", LOG_PID | LOG_CONS | LOG_NDELAY, LOG_USER);
  StartSettings settings = read_start_settings();
  upload_set_tls_resume(strcmp(settings.tls_resume.data(), "0") != 0);
  bool raised = false;
  int interval = report_interval(settings.periodic.data(), settings.polling.data(), &raised);
  if (strcmp(settings.enabled.data(), "0") == 0) {
    syslog(LOG_INFO, "Acs bandwidth Daemon Exiting");
    closelog();
    return 0;
  }

  // 2. One instance at a time, on the console or as a daemon.
  int lock_fd = lock_or_exit(lock_path);
  choose_mode(strcmp(first, "--daemon") == 0, lock_fd, setting_number(settings.periodic.data()),
              interval);
  write_lock_pid(lock_fd);
  keep_from_children(lock_fd);

  // 3. The books, and the cycles until a stop.
  install_signal_handlers();
  if (raised) announce("The report interval is raised to 1 s: cycles never run back to back");
  cycle_set_policy(read_policy());
  resume_accounting();
  Schedule schedule = start_schedule(interval);
  keep_schedule(schedule.interval, schedule.moment, schedule.spread);
  run_until_stopped(schedule);
  return 0;
}
