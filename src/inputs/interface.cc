#include "inputs/interface.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <sys/utsname.h>

#include "common/key_value.h"
#include "common/resources.h"
#include "inputs/sys_value.h"

namespace {

PathSetting interface_directory(kInterfaceDirectory);
PathSetting boot_id_file(kBootIdFile);

constexpr size_t kInterfacePathSize = 320;  // directory, interface and file name

// One of the interface's files; nothing when the name is no interface's or the path would not
// fit (a path cut short would name another file).
std::optional<uint64_t> read_interface_file(const char* iface, const char* name) {
  if (!is_interface_name(iface)) return std::nullopt;
  char path[kInterfacePathSize];
  int n = snprintf(path, sizeof(path), "%s/%s/%s", interface_directory.get(), iface, name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(path)) return std::nullopt;
  return read_counter(path);
}

}  // namespace

bool is_interface_name(std::string_view name) {
  if (name.empty() || name.size() > 15 || name == "." || name == "..") return false;
  // The kernel's white space includes the no-break space of Latin-1.
  for (char c : name) {
    if (c == '\0' || c == '/' || c == ':' || isspace(static_cast<unsigned char>(c)) ||
        static_cast<unsigned char>(c) == 0xa0)
      return false;
  }
  return true;
}

long read_interface_index(const char* iface) {
  std::optional<uint64_t> index = read_interface_file(iface, "ifindex");
  return !index || *index > 0x7fffffff ? 0 : static_cast<long>(*index);
}

std::optional<InterfaceCounters> read_interface_counters(const char* iface) {
  InterfaceCounters counters;
  counters.ifindex = read_interface_index(iface);
  if (counters.ifindex == 0) return std::nullopt;
  std::optional<uint64_t> tx = read_interface_file(iface, "statistics/tx_bytes");
  std::optional<uint64_t> rx = read_interface_file(iface, "statistics/rx_bytes");
  // Counters of an interface re-created between the reads would belong to neither one.
  if (!tx || !rx || read_interface_index(iface) != counters.ifindex) return std::nullopt;
  counters.tx = *tx;
  counters.rx = *rx;
  return counters;
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

namespace {

int kernel_bits = 0;

}  // namespace

void kernel_set_word_size(int bits) {
  kernel_bits = bits;
}

bool same_boot(const BootId& a, const BootId& b) {
  return strcmp(a.data(), b.data()) == 0;
}

bool kernel_is_32bit() {
  int& bits = kernel_bits;
  if (!bits) {
    struct utsname system;
    bits =
        uname(&system) == 0 && !strstr(system.machine, "64") && strcmp(system.machine, "s390x") != 0
            ? 32
            : 64;
  }
  return bits == 32;
}

bool parse_boot_id(std::string_view text, BootId* id) {
  if (text.size() >= id->size() || !all_of(text, "0123456789abcdef-")) return false;
  copy_view(*id, text);
  return true;
}

void interface_set_directory(const char* directory) {
  interface_directory.set(directory);
}

void boot_id_set_file(const char* path) {
  boot_id_file.set(path);
}
