// The SIM in the module: its ICCID, asked of the modem's own tools.
#pragma once

#include <array>
#include <string_view>

// 18 to 22 digits, a trailing 'F' allowed, NUL-terminated; empty: none.
using Iccid = std::array<char, 24>;

struct SimAnswer {
  Iccid iccid{};                    // empty when not read
  std::array<char, 128> problem{};  // why not
  const char* via = "";
};

bool valid_iccid(std::string_view text);
SimAnswer read_sim_iccid();
