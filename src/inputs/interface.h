// What the kernel tells about one network interface (its byte counters and index) and about this
// boot of the router.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr const char kInterfaceDirectory[] = "/sys/class/net";
constexpr const char kBootIdFile[] = "/proc/sys/kernel/random/boot_id";

// The kernel's random id of this boot: 36 characters and a NUL.
constexpr size_t kBootIdSize = 37;
using BootId = std::array<char, kBootIdSize>;

// The interface's counter, "tx_bytes" or "rx_bytes"; 0 when it cannot be read.
uint64_t read_interface_counter(const char* iface, const char* counter);

// The interface's index; 0 when there is no such interface. The kernel never gives a new
// interface the index of one that has gone, so a changed index means a re-created interface.
long read_interface_index(const char* iface);

// The id of this boot; empty when it cannot be read.
BootId read_boot_id();

// Points the interface reads at another directory and the boot id at another file; nullptr
// restores the fixed paths.
void interface_set_directory(const char* directory);
void boot_id_set_file(const char* path);
