#include "inputs/interface.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "common/resources.h"
#include "inputs/sys_value.h"

namespace {

PathSetting interface_directory(kInterfaceDirectory);
PathSetting boot_id_file(kBootIdFile);

constexpr size_t kInterfacePathSize = 320;  // directory, interface and file name

uint64_t read_interface_file(const char* iface, const char* name) {
  char path[kInterfacePathSize];
  snprintf(path, sizeof(path), "%s/%s/%s", interface_directory.get(), iface, name);
  return read_counter(path);
}

}  // namespace

uint64_t read_interface_counter(const char* iface, const char* counter) {
  char name[64];
  snprintf(name, sizeof(name), "statistics/%s", counter);
  return read_interface_file(iface, name);
}

long read_interface_index(const char* iface) {
  // A name that could leave the directory is no interface.
  if (!*iface || strchr(iface, '/') || strcmp(iface, ".") == 0 || strcmp(iface, "..") == 0)
    return 0;
  uint64_t index = read_interface_file(iface, "ifindex");
  return index > 0x7fffffff ? 0 : static_cast<long>(index);
}

BootId read_boot_id() {
  BootId id{};
  ScopedFile file(boot_id_file.get(), "re");
  if (!file || !fgets(id.data(), static_cast<int>(id.size()), file.get())) return BootId{};
  for (char& c : id) {
    if (c == '\n') c = '\0';
    if (c && !isxdigit(static_cast<unsigned char>(c)) && c != '-') return BootId{};
  }
  return id;
}

void interface_set_directory(const char* directory) {
  interface_directory.set(directory);
}

void boot_id_set_file(const char* path) {
  boot_id_file.set(path);
}
