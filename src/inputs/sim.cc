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
  int n = snprintf(line, sizeof(line), "%c%s\t%.200s\n", kind, via, text);
  if (write(fd, line, static_cast<size_t>(n)) < 0) {
    // The service then takes the line before as the last.
  }
}

constexpr char kBlank[] = " \t\r\"";

char* trim(char* text) {
  text += strspn(text, kBlank);
  char* end = text + strlen(text);
  while (end > text && strchr(kBlank, end[-1])) --end;
  *end = '\0';
  return text;
}

// With Seen::key: a modem's lines, where any line may hold the ICCID, after an optional
// "+CCID:"-like prefix, and OK or ERROR ends the answer.
constexpr char kModem[] = "";

// What one step saw of a tool's or a modem's lines.
struct Seen {
  const char* key = kModem;  // the value is on the line "key : value"; nullptr: the first line
  ConfigField value{};       // control characters made '?'; a modem's ERROR line, if it came
  bool found = false;        // the key's line came (a modem's ICCID or ERROR)
  bool any = false;          // any line came
  bool finished = false;     // a modem said OK or ERROR
};

void take_line(Seen& seen, char* line) {
  line = trim(line);
  seen.any |= line[0] != '\0';
  char* value = line;
  if (seen.key == kModem) {
    bool error = strstr(line, "ERROR") != nullptr;
    seen.finished |= error || strcmp(line, "OK") == 0;
    if (seen.found) return;
    char* colon = strchr(line, ':');
    if (colon && !error) value = trim(colon + 1);
    if (!error && !valid_iccid(value)) return;
  } else if (seen.found) {
    return;
  } else if (seen.key) {
    size_t n = strlen(seen.key);
    if (strncmp(line, seen.key, n) != 0) return;
    value = trim(line + n);
    if (value[0] != ':') return;
    value = trim(value + 1);
  }
  seen.found = true;
  for (size_t i = 0; i < kConfigFieldSize - 1 && value[i]; ++i)
    seen.value[i] = static_cast<unsigned char>(value[i]) < 32 ? '?' : value[i];
}

// Hands each line read from fd to seen until the end, a modem's OK or ERROR, or a read error.
void read_lines(int fd, Seen& seen) {
  char line[160];
  size_t used = 0;
  char chunk[256];
  ssize_t n;
  while (!seen.finished && (n = read(fd, chunk, sizeof(chunk))) != 0) {
    if (n < 0 && errno != EINTR) break;
    for (ssize_t i = 0; i < n && !seen.finished; ++i) {
      bool end = chunk[i] == '\n' || chunk[i] == '\r';
      if (!end && used < sizeof(line) - 1) line[used++] = chunk[i];
      if (!end) continue;
      line[used] = '\0';
      take_line(seen, line);
      used = 0;
    }
  }
  line[used] = '\0';
  if (used) take_line(seen, line);
}

// Says the step's outcome; true when it was an ICCID (or, with key "modem.generic.sim", a path).
bool conclude(int fd, const char* via, const char* what, const Seen& seen, int status) {
  char problem[200];
  const char* value = seen.value.data();
  bool path = seen.key && seen.key[0] == 'm';
  bool none = !value[0] || strcmp(value, "--") == 0;  // mmcli's "--": none
  if (!none && (path ? value[0] == '/' : valid_iccid(value))) {
    if (!path) say(fd, '=', via, value);
    return true;
  }
  const char* wanted = path ? "a SIM" : "an ICCID";
  if (!none)
    snprintf(problem, sizeof(problem), "%s printed \"%.40s\", not %s", what, value, wanted);
  else if (!seen.any && status != 0)
    snprintf(problem, sizeof(problem), "%s ended with status %d", what,
             WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  else
    snprintf(problem, sizeof(problem), "%s printed no %s", what, wanted + 2 + !path);
  say(fd, '!', via, problem);
  return false;
}

// Runs command (words; "@" stands for arg) in a grandchild and reads its output for key. The
// grandchild is armed to die with the child and shares its process group, which the service kills
// whole at the deadline. Returns conclude's answer.
bool ask_tool(int fd, const char* via, const char* command, const char* arg, const char* key,
              Seen& seen) {
  char words[96], what[160] = "";
  const char* argv[8];
  int argc = 0;
  copy_text(words, sizeof(words), command);
  for (char* word = strtok(words, " "); word && argc < 7; word = strtok(nullptr, " ")) {
    argv[argc++] = strcmp(word, "@") == 0 ? arg : word;
    size_t used = strlen(what);
    snprintf(what + used, sizeof(what) - used, "%s%s", used ? " " : "", argv[argc - 1]);
  }
  argv[argc] = nullptr;
  if (command[0] == '/') copy_text(what, sizeof(what), via);  // sim_command: not its text
  say(fd, '?', via, what);
  seen.key = key;
  int status = 127 << 8;
  int fds[2];
  pid_t parent = getpid();
  pid_t tool = pipe2(fds, O_CLOEXEC) == 0 ? fork() : -1;
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
  if (tool > 0) {
    close(fds[1]);
    read_lines(fds[0], seen);
    close(fds[0]);
    kill(tool, SIGKILL);  // whatever it still had to say
    while (waitpid(tool, &status, 0) < 0 && errno == EINTR) {
    }
  }
  return conclude(fd, via, what, seen, status);
}

// Why tty may not be used: the dialler's own, or locked by a live process; nullptr when free.
const char* tty_taken(const char* tty, const char* dialler) {
  struct stat ours, theirs;
  if (strcmp(tty, dialler) == 0 || (stat(tty, &ours) == 0 && stat(dialler, &theirs) == 0 &&
                                    S_ISCHR(ours.st_mode) && ours.st_rdev == theirs.st_rdev))
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
  const char* taken = tty[0] ? tty_taken(tty, dialler) : "is not set";
  ScopedFd port(taken ? -1 : open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  termios mode{};
  cfmakeraw(&mode);
  cfsetspeed(&mode, B115200);
  mode.c_cflag |= CLOCAL | CREAD;
  if (!taken && (port.get() < 0 || tcsetattr(port.get(), TCSANOW, &mode) != 0))
    taken = strerror(errno);
  if (taken) {
    snprintf(problem, sizeof(problem), "sim_tty %s%s%s", tty, tty[0] ? " " : "", taken);
    return say(fd, '!', "", problem);
  }
  tcflush(port.get(), TCIOFLUSH);
  fcntl(port.get(), F_SETFL, 0);  // reads wait for the modem; the deadline ends a silent one
  for (const char* command : {"AT+CCID", "AT+ICCID", "AT+QCCID"}) {
    char via[48], request[16];
    snprintf(via, sizeof(via), "%s on %.24s", command, tty);
    say(fd, '?', via, via);
    int n = snprintf(request, sizeof(request), "%s\r", command);
    Seen seen;
    seen.finished = write(port.get(), request, static_cast<size_t>(n)) != n;
    read_lines(port.get(), seen);
    if (conclude(fd, via, via, seen, 0) || !strstr(seen.value.data(), "ERROR")) return;
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
    ask_tool(fd, "sim_command", "/bin/sh -c @", command.data(), nullptr, seen);
  } else if (strcmp(proto.data(), "qmi") == 0) {
    if (!ask_tool(fd, "uqmi", "uqmi -s -d @ -t 1000 --get-iccid", dev, nullptr, seen) && tty[0])
      ask_at(fd, tty.data(), dev);
  } else if (strcmp(proto.data(), "mbim") == 0) {
    ask_tool(fd, "umbim", "umbim -n -t 99 -d @ subscriber", dev, "simiccid", seen);
  } else if (strcmp(proto.data(), "modemmanager") == 0) {
    Seen card;
    if (ask_tool(fd, "mmcli", "mmcli -m @ -K", dev, "modem.generic.sim", seen))
      ask_tool(fd, "mmcli", "mmcli -i @ -K", seen.value.data(), "sim.properties.iccid", card);
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
