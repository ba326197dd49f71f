#include <stdio.h>
#include <string.h>

#include "common/resources.h"
#include "inputs/interface.h"
#include "inputs/netifd.h"

extern "C" {
#include <libubox/blobmsg.h>
#include <libubus.h>
}

namespace {

// netifd answers from memory; a bus that does not answer at once is not waited for.
constexpr int kTimeoutMs = 1000;

void release_context(ubus_context* context) {
  ubus_free(context);
}
using UbusContext = ScopedHandle<ubus_context, release_context>;

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
  int status = ubus_invoke(context, id, "status", empty.head, take_l3_device, device, kTimeoutMs);
  blob_buf_free(&empty);
  return status == 0 && (*device)[0];
}

}  // namespace

bool netifd_l3_device(const char* interface, ConfigField* device, std::array<char, 176>* found_by) {
  UbusContext context(ubus_connect(nullptr));
  if (!context.get()) return false;
  static const char* const kSuffixes[] = {"", "_4", "_6"};
  for (const char* suffix : kSuffixes) {
    char object[96];
    snprintf(object, sizeof(object), "network.interface.%s%s", interface, suffix);
    ConfigField found{};
    if (!ask(context.get(), object, &found)) continue;
    *device = found;
    snprintf(found_by->data(), found_by->size(), "netifd, %s", object);
    return true;
  }
  return false;
}
