// What the kernel tells about one network interface (its byte counters and index) and about this
// boot of the router.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

constexpr const char kInterfaceDirectory[] = "/sys/class/net";
constexpr const char kBootIdFile[] = "/proc/sys/kernel/random/boot_id";

// The kernel's random id of this boot: 36 characters and a NUL.
constexpr size_t kBootIdSize = 37;
using BootId = std::array<char, kBootIdSize>;

// Whether name can be a network interface's name, by the kernel's rule: 1 to 15 bytes, none of
// them '/', ':' or white space, and not "." or "..". A device node such as "/dev/cdc-wdm0" is not
// one.
bool is_interface_name(std::string_view name);

// The interface's index; 0 when there is no such interface. The kernel never gives a new
// interface the index of one that has gone, so a changed index means a re-created interface.
long read_interface_index(const char* iface);

// An interface's two byte counters and its index, read together.
struct InterfaceCounters {
  long ifindex = 0;
  uint64_t tx = 0;
  uint64_t rx = 0;
};

// Nothing when the interface is not there, a counter cannot be read, or the interface was
// re-created while it was being read.
std::optional<InterfaceCounters> read_interface_counters(const char* iface);

// The id of this boot; empty when it cannot be read.
BootId read_boot_id();

// Whether two boot ids are the same boot's.
bool same_boot(const BootId& a, const BootId& b);

// Whether the kernel is a 32-bit one (told by the machine it names, not by this build), whose
// drivers may keep counters of 32 bits that wrap at 2^32.
bool kernel_is_32bit();

// Takes the kernel for a 32- or 64-bit one (for tests, whose results must not depend on the
// machine they run on); 0 asks the machine again.
void kernel_set_word_size(int bits);

// A boot id as the service's files hold it: at most 36 of lowercase hex digits and '-' (empty
// too). False, leaving *id alone, for anything else.
bool parse_boot_id(std::string_view text, BootId* id);

// Points the interface reads at another directory and the boot id at another file; nullptr
// restores the fixed paths.
void interface_set_directory(const char* directory);
void boot_id_set_file(const char* path);
