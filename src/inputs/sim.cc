#include "inputs/sim.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <initializer_list>

#include "common/child_query.h"
#include "common/resources.h"
#include "inputs/config.h"

namespace {

PathSetting lock_directory("/var/lock");

// How it was asked, for SimAnswer::via.
char via_text[48];

// The child tells the service what it does as it goes, a line each: "?via\tcommand" as a step
// begins, then "=via\tICCID" or "!via\tproblem". The last line is the answer; a "?" last names
// what was still running at the deadline.
void say(int fd, char kind, const char* via, const char* text) {
  char line[320];
  int n = snprintf(line, sizeof(line), "%c%s\t%s\n", kind, via, text);
  if (n < 0) return;
  if (static_cast<size_t>(n) >= sizeof(line)) {
    n = sizeof(line) - 1;
    line[n - 1] = '\n';
  }
  if (write(fd, line, static_cast<size_t>(n)) < 0) {
    // The service then takes the line before as the last.
  }
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && strchr(" \t\r\"", text.front())) text.remove_prefix(1);
  while (!text.empty() && strchr(" \t\r\"", text.back())) text.remove_suffix(1);
  return text;
}

// What one step saw of a tool's or a modem's lines.
struct Seen {
  const char* key;   // the value is on the line "key : value"; nullptr: the first line is it,
                     // "": any line that holds an ICCID, after an optional "+CCID:"-like prefix
  ConfigField value{};    // control characters made '?'
  bool found = false;     // the key's line came (with key "": an ICCID)
  bool any = false;       // any line came
  bool finished = false;  // a modem said OK or ERROR
  bool error = false;     // ... ERROR
};

void take_line(Seen& seen, std::string_view line) {
  line = trimmed(line);
  seen.any |= !line.empty();
  if (seen.found) return;
  std::string_view value = line;
  if (!seen.key) {
    seen.found = true;
  } else if (!seen.key[0]) {
    if (line == "OK" || line.find("ERROR") != line.npos) {
      seen.finished = true;
      seen.error = line != "OK";
    }
    size_t colon = line.find(':');
    if (colon != line.npos) value = trimmed(line.substr(colon + 1));
    seen.found = valid_iccid(value);
  } else {
    size_t n = strlen(seen.key);
    if (line.substr(0, n) != seen.key) return;
    value = trimmed(line.substr(n));
    if (value.empty() || value[0] != ':') return;
    value = trimmed(value.substr(1));
    seen.found = true;
  }
  if (!seen.found) return;
  size_t n = value.size() < kConfigFieldSize - 1 ? value.size() : kConfigFieldSize - 1;
  for (size_t i = 0; i < n; ++i)
    seen.value[i] = static_cast<unsigned char>(value[i]) < 32 ? '?' : value[i];
  seen.value[n] = '\0';
}

// Hands each line read from fd to seen until the end, a modem's OK or ERROR, or a read error.
void read_lines(int fd, Seen& seen) {
  char line[160];
  size_t used = 0;
  char chunk[256];
  ssize_t n;
  while (!seen.finished && (n = read(fd, chunk, sizeof(chunk))) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (ssize_t i = 0; i < n && !seen.finished; ++i) {
      if (chunk[i] == '\n' || chunk[i] == '\r') {
        take_line(seen, std::string_view(line, used));
        used = 0;
      } else if (used < sizeof(line)) {
        line[used++] = chunk[i];
      }
    }
  }
  if (used) take_line(seen, std::string_view(line, used));
}

// Runs argv in a grandchild, its output read into seen; returns its wait status (127: not run).
// It is armed to die with the child, and shares the child's process group, which the service
// kills whole at the deadline.
int run_tool(const char* const* argv, Seen& seen) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return 127 << 8;
  pid_t parent = getpid();
  pid_t tool = fork();
  if (tool == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 2);
    dup2(fds[1], 1);
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  close(fds[1]);
  ScopedFd reader(fds[0]);
  int status = 127 << 8;
  if (tool < 0) return status;
  read_lines(reader.get(), seen);
  kill(tool, SIGKILL);  // whatever it still had to say
  while (waitpid(tool, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Says the step's outcome; true when it was an ICCID (or, with path_only, a path).
bool conclude(int fd, const char* via, const char* what, const Seen& seen, int status,
              bool path_only = false) {
  char problem[200];
  const char* value = seen.value.data();
  const char* wanted = path_only ? "SIM" : "ICCID";
  bool none = !seen.found || !value[0] || strcmp(value, "--") == 0;  // mmcli's "--": none
  if (!none && (path_only ? value[0] == '/' : valid_iccid(value))) {
    if (!path_only) say(fd, '=', via, value);
    return true;
  }
  if (!none)
    snprintf(problem, sizeof(problem), "%s printed \"%.40s\", not a%s %s", what, value,
             path_only ? "" : "n", wanted);
  else if (!seen.any && WIFEXITED(status) && WEXITSTATUS(status) == 127)
    snprintf(problem, sizeof(problem), "%s: not found on PATH", what);
  else if (!seen.any && status != 0)
    snprintf(problem, sizeof(problem), "%s ended with status %d", what,
             WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  else
    snprintf(problem, sizeof(problem), "%s printed no %s", what, wanted);
  say(fd, '!', via, problem);
  return false;
}

// One tool's step: argv run, its line for key read.
bool ask_tool(int fd, const char* via, const char* const* argv, const char* key, Seen& seen,
              bool path_only = false) {
  char what[160] = "";
  if (argv[0][0] == '/') {
    copy_text(what, sizeof(what), via);
  } else {
    for (const char* const* arg = argv; *arg; ++arg) {
      size_t used = strlen(what);
      snprintf(what + used, sizeof(what) - used, "%s%s", used ? " " : "", *arg);
    }
  }
  say(fd, '?', via, what);
  seen.key = key;
  return conclude(fd, via, what, seen, run_tool(argv, seen), path_only);
}

// Why tty may not be used: the dialler's own, or locked by a live process; nullptr when free.
const char* tty_taken(const char* tty, const char* dialler) {
  struct stat ours, theirs;
  if (strcmp(tty, dialler) == 0 ||
      (stat(tty, &ours) == 0 && stat(dialler, &theirs) == 0 && S_ISCHR(ours.st_mode) &&
       ours.st_rdev == theirs.st_rdev))
    return "is the dialler's tty";
  char path[192];
  const char* base = strrchr(tty, '/');
  snprintf(path, sizeof(path), "%s/LCK..%s", lock_directory.get(), base ? base + 1 : tty);
  char text[24] = "";
  ScopedFile lock(path, "r");
  long pid = lock && fgets(text, sizeof(text), lock.get()) ? strtol(text, nullptr, 10) : 0;
  if (pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM))
    return "is locked by a running process";
  return nullptr;
}

// AT+CCID on tty, then the vendors' AT+ICCID and AT+QCCID while the modem answers ERROR.
void ask_at(int fd, const char* tty, const char* dialler) {
  char problem[200];
  const char* taken = tty[0] ? tty_taken(tty, dialler) : nullptr;
  snprintf(problem, sizeof(problem), taken ? "sim_tty %s %s" : "sim_tty is not set", tty, taken);
  if (!tty[0] || taken) return say(fd, '!', "", problem);
  ScopedFd port(open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  termios mode{};
  if (port.get() < 0 || tcgetattr(port.get(), &mode) != 0) {
    snprintf(problem, sizeof(problem), "sim_tty %s cannot be used: %s", tty, strerror(errno));
    return say(fd, '!', "", problem);
  }
  cfmakeraw(&mode);
  cfsetspeed(&mode, B115200);
  mode.c_cflag |= CLOCAL | CREAD;
  tcsetattr(port.get(), TCSANOW, &mode);
  tcflush(port.get(), TCIOFLUSH);
  fcntl(port.get(), F_SETFL, 0);  // reads wait for the modem; the deadline ends a silent one
  for (const char* command : {"AT+CCID", "AT+ICCID", "AT+QCCID"}) {
    char via[48], request[16];
    snprintf(via, sizeof(via), "%s on %.24s", command, tty);
    say(fd, '?', via, via);
    int n = snprintf(request, sizeof(request), "%s\r", command);
    Seen seen;
    seen.key = "";
    if (write(port.get(), request, static_cast<size_t>(n)) != n) seen.finished = true;
    read_lines(port.get(), seen);
    if (!seen.error || seen.found) return void(conclude(fd, via, via, seen, 0));
    snprintf(problem, sizeof(problem), "%s answered ERROR", via);
    say(fd, '!', via, problem);
  }
}

// The child's part: asks the sources in the order read_sim_iccid gives.
void ask_sim(const char*, int fd) {
  signal(SIGCHLD, SIG_DFL);  // the tools are waited for here
  ConfigField command{}, tty{}, proto{}, device{};
  config_get(command, "easycwmp", "bandwidth", "sim_command");
  config_get(tty, "easycwmp", "bandwidth", "sim_tty");
  config_get(proto, "network", "module", "proto");
  config_get(device, "network", "module", "device");
  const char* dev = device.data();
  Seen seen;
  if (command[0]) {
    const char* argv[] = {"/bin/sh", "-c", command.data(), nullptr};
    ask_tool(fd, "sim_command", argv, nullptr, seen);
  } else if (strcmp(proto.data(), "qmi") == 0) {
    const char* argv[] = {"uqmi", "-s", "-d", dev, "-t", "1000", "--get-iccid", nullptr};
    if (!ask_tool(fd, "uqmi", argv, nullptr, seen) && tty[0]) ask_at(fd, tty.data(), dev);
  } else if (strcmp(proto.data(), "mbim") == 0) {
    const char* argv[] = {"umbim", "-n", "-t", "99", "-d", dev, "subscriber", nullptr};
    ask_tool(fd, "umbim", argv, "simiccid", seen);
  } else if (strcmp(proto.data(), "modemmanager") == 0) {
    const char* modem[] = {"mmcli", "-m", dev, "-K", nullptr};
    if (!ask_tool(fd, "mmcli", modem, "modem.generic.sim", seen, true)) return;
    const char* sim[] = {"mmcli", "-i", seen.value.data(), "-K", nullptr};
    Seen card;
    ask_tool(fd, "mmcli", sim, "sim.properties.iccid", card);
  } else {
    ask_at(fd, tty.data(), dev);
  }
}

}  // namespace

bool valid_iccid(std::string_view text) {
  if (!text.empty() && (text.back() == 'F' || text.back() == 'f')) text.remove_suffix(1);
  if (text.size() < 18 || text.size() > 22) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

bool normalise_iccid(std::string_view text, Iccid& iccid) {
  if (!valid_iccid(text)) return false;
  iccid = Iccid{};
  memcpy(iccid.data(), text.data(), text.size());
  if (iccid[text.size() - 1] == 'f') iccid[text.size() - 1] = 'F';
  return true;
}

void sim_set_lock_directory(const char* directory) {
  lock_directory.set(directory);
}

SimAnswer read_sim_iccid() {
  SimAnswer answer;
  char reply[1024];
  ChildAnswer outcome = ask_child(ask_sim, "", kSimDeadlineMs, reply, sizeof(reply));
  // The last complete line.
  char* end = strrchr(reply, '\n');
  if (end) *end = '\0';
  char* line = end ? strrchr(reply, '\n') : nullptr;
  line = line ? line + 1 : end ? reply : nullptr;
  char* tab = line ? strchr(line, '\t') : nullptr;
  if (tab) {
    *tab = '\0';
    copy_text(via_text, sizeof(via_text), line + 1);
    answer.via = via_text;
  }
  auto& problem = answer.problem;
  if (outcome == ChildAnswer::kStopped)
    snprintf(problem.data(), problem.size(), "a stop came while %s was asked",
             tab ? via_text : "the SIM");
  else if (!tab)
    copy_text(problem.data(), problem.size(), "the SIM could not be asked");
  else if (line[0] == '!')
    copy_text(problem.data(), problem.size(), tab + 1);
  else if (line[0] != '=' || !normalise_iccid(tab + 1, answer.iccid))
    snprintf(problem.data(), problem.size(), "%.90s did not answer within %d s", tab + 1,
             static_cast<int>(kSimDeadlineMs / 1000));
  return answer;
}
