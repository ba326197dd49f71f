// Provisional: sim_command only (replaced by the full reader).
#include "inputs/sim.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/child_query.h"
#include "common/resources.h"
#include "inputs/config.h"

bool valid_iccid(std::string_view text) {
  if (!text.empty() && (text.back() == 'F' || text.back() == 'f')) text.remove_suffix(1);
  if (text.size() < 18 || text.size() > 22) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

namespace {
void run(const char* command, int fd) {
  FILE* p = popen(command, "r");
  if (!p) return;
  char line[64] = {};
  if (fgets(line, sizeof(line), p)) (void)!write(fd, line, strlen(line));
  pclose(p);
}
}  // namespace

SimAnswer read_sim_iccid() {
  SimAnswer a;
  ConfigField command{};
  config_get(command, "easycwmp", "bandwidth", "sim_command");
  a.via = "sim_command";
  char reply[64];
  if (!command[0]) {
    snprintf(a.problem.data(), a.problem.size(), "sim_command is not set");
    return a;
  }
  if (ask_child(run, command.data(), 3000, reply, sizeof(reply)) != ChildAnswer::kAnswered) {
    snprintf(a.problem.data(), a.problem.size(), "sim_command did not answer");
    return a;
  }
  reply[strcspn(reply, "\r\n")] = 0;
  if (!valid_iccid(reply)) {
    snprintf(a.problem.data(), a.problem.size(), "sim_command printed \"%.40s\"", reply);
    return a;
  }
  copy_text(a.iccid.data(), a.iccid.size(), reply);
  if (a.iccid[strlen(a.iccid.data()) - 1] == 'f') a.iccid[strlen(a.iccid.data()) - 1] = 'F';
  return a;
}
