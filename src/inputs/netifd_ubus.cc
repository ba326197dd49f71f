#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "common/child_query.h"
#include "common/log.h"
#include "common/resources.h"
#include "inputs/interface.h"
#include "inputs/netifd.h"

extern "C" {
#include <libubox/blobmsg.h>
#include <libubus.h>
}

namespace {

// netifd answers from memory, in milliseconds: a bus that takes longer is not waited for, so
// that a stalled ubusd or netifd costs a cycle no more than this.
constexpr int kDeadlineMs = 400;

// Why netifd could not be asked, as last said (nullptr: it could).
const char* problem_said = nullptr;

// Takes l3_device out of an interface's status, when the interface is up.
void take_l3_device(ubus_request* request, int, blob_attr* message) {
  enum { kUp, kL3Device, kFields };
  static const blobmsg_policy kPolicy[kFields] = {
      {"up", BLOBMSG_TYPE_BOOL},
      {"l3_device", BLOBMSG_TYPE_STRING},
  };
  blob_attr* field[kFields] = {};
  if (!message ||
      blobmsg_parse(kPolicy, kFields, field, blob_data(message), blob_len(message)) != 0 ||
      !field[kUp] || !blobmsg_get_bool(field[kUp]) || !field[kL3Device])
    return;
  const char* name = blobmsg_get_string(field[kL3Device]);
  auto* device = static_cast<ConfigField*>(request->priv);
  if (name && is_interface_name(name)) copy_text(device->data(), device->size(), name);
}

bool ask(ubus_context* context, const char* object, ConfigField* device) {
  uint32_t id = 0;
  if (ubus_lookup_id(context, object, &id) != 0) return false;
  blob_buf empty = {};
  blob_buf_init(&empty, 0);
  int status = ubus_invoke(context, id, "status", empty.head, take_l3_device, device, kDeadlineMs);
  return status == 0 && (*device)[0];
}

// In the child, where libubus may block and installs its signal handlers: "<device>\n<object>"
// for the first object with an l3_device, "\n" for none, nothing when there is no bus.
void ask_netifd(const char* interface, int fd) {
  ubus_context* context = ubus_connect(nullptr);
  if (!context) return;
  static const char* const kSuffixes[] = {"", "_4", "_6"};
  char answer[kConfigFieldSize + 96] = "\n";
  for (const char* suffix : kSuffixes) {
    char object[96];
    snprintf(object, sizeof(object), "network.interface.%s%s", interface, suffix);
    ConfigField found{};
    if (!ask(context, object, &found)) continue;
    snprintf(answer, sizeof(answer), "%s\n%s", found.data(), object);
    break;
  }
  if (write(fd, answer, strlen(answer)) < 0) {
    // The service reads no answer: netifd is taken as not asked.
  }
}

// Says once, until it changes, why netifd cannot be asked.
void say_problem(const char* problem) {
  if (problem && problem != problem_said)
    log_failure(stderr,
                "netifd cannot be asked (%s): the built-in rules find the module's device\n",
                problem);
  problem_said = problem;
}

}  // namespace

bool netifd_l3_device(const char* interface, ConfigField* device, std::array<char, 176>* found_by) {
  char answer[kConfigFieldSize + 96];
  ChildAnswer outcome = ask_child(ask_netifd, interface, kDeadlineMs, answer, sizeof(answer));
  if (outcome == ChildAnswer::kStopped) return false;
  say_problem(outcome == ChildAnswer::kNoAnswer ? "no answer on ubus within 400 ms"
              : !answer[0]                      ? "no ubus to connect to"
                                                : nullptr);
  if (outcome != ChildAnswer::kAnswered) return false;
  char* object = strchr(answer, '\n');
  if (!object || object == answer) return false;
  *object++ = '\0';
  if (!is_interface_name(answer)) return false;
  copy_text(device->data(), device->size(), answer);
  snprintf(found_by->data(), found_by->size(), "netifd, %s", object);
  return true;
}
