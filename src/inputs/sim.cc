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

// What the child tells the service, a record as each step begins and another as it ends; the last
// one written is the answer. A step's first record already says that it did not answer, for the
// deadline that may come before its second.
struct Record {
  char written;  // 1
  Iccid iccid{};
  std::array<char, 128> problem{};
  char via[48] = "";
};

// The child's record and where it goes.
Record record;
int answer_fd = -1;

void tell() {
  if (write(answer_fd, &record, sizeof(record)) < 0) {
    // The service then takes the record before as the answer.
  }
}

void begin(const char* via, const char* what) {
  copy_text(record.via, sizeof(record.via), via);
  snprintf(record.problem.data(), record.problem.size(), "%s did not answer within %d s", what,
           static_cast<int>(kSimDeadlineMs / 1000));
  tell();
}

constexpr char kBlank[] = " \t\r\"";

char* trim(char* text) {
  text += strspn(text, kBlank);
  char* end = text + strlen(text);
  while (end > text && strchr(kBlank, end[-1])) --end;
  *end = '\0';
  return text;
}

// Seen::key for a modem's lines, where any line may hold the ICCID, after an optional
// "+CCID:"-like prefix, and OK or ERROR ends the answer.
constexpr char kModem[] = "";
// mmcli's key for the modem's SIM object, a path.
constexpr char kSimKey[] = "modem.generic.sim";

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

// Ends the step begun with what: true when it gave the ICCID (with kSimKey, the SIM's path).
bool conclude(const char* what, const Seen& seen, int status) {
  const char* value = seen.value.data();
  bool path = seen.key == kSimKey;
  bool none = !value[0] || strcmp(value, "--") == 0;  // mmcli's "--": none
  if (!none && (path ? value[0] == '/' : normalise_iccid(value, record.iccid))) {
    if (path) return true;
    record.problem[0] = '\0';
    tell();
    return true;
  }
  const char* wanted = path ? "a SIM" : "an ICCID";
  char* problem = record.problem.data();
  size_t size = record.problem.size();
  if (!none)
    snprintf(problem, size, "%s printed \"%.40s\", not %s", what, value, wanted);
  else if (!seen.any && status != 0)
    snprintf(problem, size, "%s ended with status %d", what,
             status >> 8 ? status >> 8 : 128 + (status & 127));
  else
    snprintf(problem, size, "%s printed no %s", what, wanted + 2 + !path);
  tell();
  return false;
}

// Runs the command (words, "%s" standing for arg; nullptr: arg by /bin/sh -c) in a grandchild
// and reads its output for key. The grandchild is armed to die with the child and shares its
// process group, which the service kills whole at the deadline.
bool ask_tool(const char* via, const char* command, const char* arg, const char* key, Seen& seen) {
  char what[160], words[160];
  snprintf(what, sizeof(what), command ? command : "%s", command ? arg : via);
  memcpy(words, what, sizeof(words));
  const char* argv[8] = {"/bin/sh", "-c", arg};
  if (command) {
    int argc = 0;
    for (char* word = strtok(words, " "); word && argc < 7; word = strtok(nullptr, " "))
      argv[argc++] = word;
    argv[argc] = nullptr;
  }
  begin(via, what);
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
    if (argv[0]) execvp(argv[0], const_cast<char* const*>(argv));
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
  return conclude(what, seen, status);
}

// Whether tty is the dialler's own, by name or by device.
bool diallers(const char* tty, const char* dialler) {
  struct stat ours, theirs;
  return strcmp(tty, dialler) == 0 || (stat(tty, &ours) == 0 && stat(dialler, &theirs) == 0 &&
                                       S_ISCHR(ours.st_mode) && ours.st_rdev == theirs.st_rdev);
}

// AT+CCID on tty, then the vendors' AT+ICCID and AT+QCCID while the modem answers a plain ERROR.
void ask_at(const char* tty, const char* dialler) {
  const char* taken = !tty[0]                  ? "is not set"
                      : diallers(tty, dialler) ? "is the dialler's tty"
                                               : nullptr;
  const char* gap = " ";
  ScopedFd port(taken ? -1 : open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  termios mode{};
  cfmakeraw(&mode);
  cfsetspeed(&mode, B115200);
  mode.c_cflag |= CLOCAL | CREAD;
  if (!taken && (port.get() < 0 || tcsetattr(port.get(), TCSANOW, &mode) != 0)) {
    taken = strerror(errno);
    gap = ": ";
  }
  if (taken) {
    record.via[0] = '\0';
    snprintf(record.problem.data(), record.problem.size(), "sim_tty %s%s%s", tty, tty[0] ? gap : "",
             taken);
    return tell();
  }
  tcflush(port.get(), TCIOFLUSH);
  fcntl(port.get(), F_SETFL, 0);  // reads wait for the modem; the deadline ends a silent one
  static const char kCommands[][10] = {"AT+CCID\r", "AT+ICCID\r", "AT+QCCID\r"};
  for (const char* command : kCommands) {
    char via[48];
    size_t n = strlen(command);
    snprintf(via, sizeof(via), "%.*s on %.24s", static_cast<int>(n - 1), command, tty);
    begin(via, via);
    Seen seen;
    seen.finished = write(port.get(), command, n) != static_cast<ssize_t>(n);
    read_lines(port.get(), seen);
    // A plain ERROR: the command is not this vendor's. "+CME ERROR: 10": it is, and no SIM.
    if (conclude(via, seen, 0) || strcmp(seen.value.data(), "ERROR") != 0) return;
  }
}

// The child's part: asks the sources in the order read_sim_iccid gives.
void ask_sim(const char*, int fd) {
  answer_fd = fd;
  record.written = 1;
  signal(SIGCHLD, SIG_DFL);  // the tools are waited for here
  ConfigField command{}, tty{}, proto{}, device{};
  config_get(command, "easycwmp", "bandwidth", "sim_command");
  config_get(tty, "easycwmp", "bandwidth", "sim_tty");
  config_get(proto, "network", "module", "proto");
  config_get(device, "network", "module", "device");
  const char* dev = device.data();
  Seen seen;
  if (command[0]) {
    ask_tool("sim_command", nullptr, command.data(), nullptr, seen);
  } else if (strcmp(proto.data(), "qmi") == 0) {
    if (!ask_tool("uqmi", "uqmi -s -d %s -t 1000 --get-iccid", dev, nullptr, seen) && tty[0])
      ask_at(tty.data(), dev);
  } else if (strcmp(proto.data(), "mbim") == 0) {
    ask_tool("umbim", "umbim -n -t 99 -d %s subscriber", dev, "simiccid", seen);
  } else if (strcmp(proto.data(), "modemmanager") == 0) {
    Seen card;
    if (ask_tool("mmcli", "mmcli -m %s -K", dev, kSimKey, seen))
      ask_tool("mmcli", "mmcli -i %s -K", seen.value.data(), "sim.properties.iccid", card);
  } else {
    ask_at(tty.data(), dev);
  }
}

}  // namespace

bool valid_iccid(std::string_view text) {
  size_t n = text.size();
  if (n && (text[n - 1] | 0x20) == 'f') --n;
  if (n < 18 || n > 22) return false;
  for (size_t i = 0; i < n; ++i)
    if (static_cast<unsigned char>(text[i] - '0') > 9) return false;
  return true;
}

bool normalise_iccid(std::string_view text, Iccid& iccid) {
  if (!valid_iccid(text)) return false;
  iccid = Iccid{};
  memcpy(iccid.data(), text.data(), text.size());
  if (iccid[text.size() - 1] == 'f') iccid[text.size() - 1] = 'F';
  return true;
}

SimAnswer read_sim_iccid() {
  static char via[sizeof(Record::via)];
  SimAnswer answer;
  char reply[10 * sizeof(Record) + 8] = {};
  ChildAnswer outcome = ask_child(ask_sim, "", kSimDeadlineMs, reply, sizeof(reply));
  // The last record the child wrote (whole: each is written at once).
  const char* last = nullptr;
  for (const char* at = reply; at[0] && at + sizeof(Record) < reply + sizeof(reply);
       at += sizeof(Record))
    last = at;
  if (!last) {
    copy_text(answer.problem.data(), answer.problem.size(), "the SIM could not be asked");
    return answer;
  }
  Record told;
  memcpy(&told, last, sizeof(told));
  answer.iccid = told.iccid;
  answer.problem = told.problem;
  if (outcome == ChildAnswer::kStopped)
    copy_text(answer.problem.data(), answer.problem.size(), "a stop came first");
  memcpy(via, told.via, sizeof(via));
  answer.via = via;
  return answer;
}
