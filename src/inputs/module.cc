#include "inputs/module.h"

#include <dirent.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/fnv1a.h"
#include "common/resources.h"
#include "inputs/interface.h"
#include "inputs/netifd.h"

namespace {

PathSetting sysfs_root("/sys");

constexpr size_t kPathSize = PATH_MAX;
// How deep below a ModemManager device path its network device may be: the USB device, its
// interface, "net", the device.
constexpr int kModemDepth = 4;

void close_directory(DIR* dir) {
  closedir(dir);
}
using ScopedDir = ScopedHandle<DIR, close_directory>;

// Keeps the smaller of *best and candidate (by name), so that what is found does not depend on
// the order a directory lists.
void keep_first(ConfigField* best, const char* candidate) {
  if (is_interface_name(candidate) && (!(*best)[0] || strcmp(candidate, best->data()) < 0))
    copy_text(best->data(), best->size(), candidate);
}

// path = a + b + c, or false when it would not fit (a path cut short would name another file).
bool join(char (&path)[kPathSize], const char* a, const char* b, const char* c = "") {
  int n = snprintf(path, sizeof(path), "%s%s%s", a, b, c);
  return n >= 0 && static_cast<size_t>(n) < sizeof(path);
}

// Hands each entry of dir but "." and ".." to visit.
template <typename Visit>
void for_each_entry(const char* dir, Visit&& visit) {
  ScopedDir listing(opendir(dir));
  while (dirent* entry = listing.get() ? readdir(listing.get()) : nullptr) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) visit(*entry);
  }
}

// The first network device listed in dir/net.
void first_in_net(const char* dir, ConfigField* best) {
  char path[kPathSize];
  if (!join(path, dir, "/net")) return;
  for_each_entry(path, [&](const dirent& entry) { keep_first(best, entry.d_name); });
}

// The first network device in any dir/*/net, as `ls dir/*/net` lists them.
void first_in_children(const char* dir, ConfigField* best) {
  ConfigField in_first{};
  char first_child[NAME_MAX + 1] = "";
  for_each_entry(dir, [&](const dirent& entry) {
    char child[kPathSize];
    ConfigField found{};
    if (join(child, dir, "/", entry.d_name)) first_in_net(child, &found);
    if (found[0] && (!first_child[0] || strcmp(entry.d_name, first_child) < 0)) {
      copy_text(first_child, sizeof(first_child), entry.d_name);
      in_first = found;
    }
  });
  if (in_first[0]) *best = in_first;
}

// Network devices below dir (never through a link, at most depth levels down): the first by path.
void first_below(const char* dir, int depth, ConfigField* best, char (&best_path)[kPathSize]) {
  if (depth == 0) return;
  for_each_entry(dir, [&](const dirent& entry) {
    char child[kPathSize];
    if (entry.d_type != DT_DIR || !join(child, dir, "/", entry.d_name)) return;
    if (strcmp(entry.d_name, "net") != 0) return first_below(child, depth - 1, best, best_path);
    ConfigField found{};
    first_in_net(dir, &found);
    if (found[0] && (!best_path[0] || strcmp(child, best_path) < 0)) {
      copy_text(best_path, sizeof(best_path), child);
      *best = found;
    }
  });
}

// The device's sysfs directory: <root>/class/<class>/<node>/device, resolved.
bool device_directory(const char* device_class, const char* node, char (&out)[kPathSize]) {
  char path[kPathSize];
  int n =
      snprintf(path, sizeof(path), "%s/class/%s/%s/device", sysfs_root.get(), device_class, node);
  return n > 0 && static_cast<size_t>(n) < sizeof(path) && realpath(path, out) != nullptr;
}

// The protocol handlers' rules. Sets module->name, or says in module->problem where it looked.
void find_by_protocol(const char* proto, const char* device, ModuleInterface* module) {
  const char* slash = strrchr(device, '/');
  const char* node = slash ? slash + 1 : device;
  bool tty = strncmp(node, "tty", 3) == 0;
  bool acm = strncmp(node, "ttyACM", 6) == 0;
  char looked[kPathSize] = "";
  char dir[kPathSize];
  if (strcmp(proto, "3g") == 0 || strcmp(proto, "ppp") == 0) {
    snprintf(module->name.data(), module->name.size(), "%.16s-module", proto);
  } else if (strcmp(proto, "modemmanager") == 0 && strncmp(device, "/sys/", 5) == 0) {
    if (join(dir, sysfs_root.get(), "/", device + 5)) {
      char best_path[kPathSize] = "";
      first_below(dir, kModemDepth, &module->name, best_path);
    }
    snprintf(looked, sizeof(looked), "below %s", device);
  } else if (strcmp(proto, "qmi") == 0 || strcmp(proto, "mbim") == 0 ||
             (strcmp(proto, "ncm") == 0 && !tty)) {
    if (device_directory("usbmisc", node, dir)) first_in_net(dir, &module->name);
    snprintf(looked, sizeof(looked), "in %s/class/%s/%s/device%s/net", sysfs_root.get(), "usbmisc",
             node, "");
  } else if ((strcmp(proto, "ncm") == 0 || strcmp(proto, "directip") == 0) && tty) {
    const char* up = acm && strcmp(proto, "ncm") == 0 ? "/.." : "/../..";
    char above[kPathSize];
    if (device_directory("tty", node, dir) && join(above, dir, up))
      first_in_children(above, &module->name);
    snprintf(looked, sizeof(looked), "in %s/class/%s/%s/device%s/net", sysfs_root.get(), "tty",
             node, acm && strcmp(proto, "ncm") == 0 ? "/../*" : "/../../*");
  } else {
    snprintf(module->problem.data(), module->problem.size(),
             "network.module.device '%.127s' is not a network interface", device);
    return;
  }
  if (module->name[0]) {
    snprintf(module->found_by.data(), module->found_by.size(),
             "network.module, proto %.16s%s%.127s", proto, looked[0] ? ", " : "",
             looked[0] ? device : "");
  } else {
    snprintf(module->problem.data(), module->problem.size(),
             "network.module.device '%.127s' (proto %.16s): no network interface %.160s", device,
             proto, looked);
  }
}

}  // namespace

void module_set_sysfs_root(const char* root) {
  sysfs_root.set(root);
}

ModuleInterface find_module_interface() {
  ModuleInterface module;
  config_get(module.name, "network", "module", "ifname");
  if (module.name[0]) {
    copy_text(module.found_by.data(), module.found_by.size(), "network.module.ifname");
    return module;
  }
  ConfigField device{}, proto{};
  config_get(device, "network", "module", "device");
  if (is_interface_name(device.data())) {
    module.name = device;
    copy_text(module.found_by.data(), module.found_by.size(), "network.module.device");
    return module;
  }
  config_get(proto, "network", "module", "proto");
  // "proto/device" digested: the same options give the same device name unless the modem came
  // back under another one.
  uint32_t digest = kFnv1aBasis;
  const char* parts[] = {proto.data(), "/", device.data()};
  for (const char* text : parts) digest = fnv1a(digest, text, strlen(text));
  module.module_digest = digest | 1;
  if (netifd_l3_device("module", &module.name, &module.found_by)) return module;
  if (!device[0]) {
    copy_text(module.problem.data(), module.problem.size(),
              "network.module has neither ifname nor device");
    return module;
  }
  find_by_protocol(proto.data(), device.data(), &module);
  return module;
}
