// The SIM's ICCID, asked of the cellular module by the tools OpenWrt drives it with (uqmi, umbim,
// mmcli), by AT commands on a tty of its own, or by a command the integrator names. Each question
// runs in a child (ask_child) and the tools in grandchildren of it; at the deadline or at a stop
// the child's whole process group is killed, so that a tool that hangs never outlives it.
//
// UCI options: easycwmp.bandwidth.sim_command (when set, the only source), easycwmp.bandwidth
// .sim_tty (the AT port), network.module.proto and network.module.device (the dialler's device).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// The whole question, fallbacks included, is given this long; then it is abandoned.
constexpr int64_t kSimDeadlineMs = 3000;

// 18 to 22 digits, optionally a trailing 'F', NUL-terminated; empty: none.
using Iccid = std::array<char, 24>;

struct SimAnswer {
  Iccid iccid{};                    // empty when not read
  std::array<char, 128> problem{};  // why not, when empty: "sim_tty is not set", "mmcli -m ...
                                    // -K printed no ICCID", "... did not answer within 3 s"
  // How it was asked: "sim_command", "uqmi", "umbim", "mmcli", "AT+CCID on /dev/ttyUSB2" (or the
  // AT+ICCID, AT+QCCID that answered); "" when nothing was. Valid until the next question.
  const char* via = "";
};

// Whether text is an ICCID: 18 to 22 ASCII digits, a trailing 'F' or 'f' allowed.
bool valid_iccid(std::string_view text);

// Copies text into iccid with a trailing 'f' made 'F', when it is an ICCID; false leaves iccid.
bool normalise_iccid(std::string_view text, Iccid& iccid);

// Asks the SIM's ICCID:
//   sim_command set    `/bin/sh -c <sim_command>`: its first output line
//   proto qmi          `uqmi -s -d <device> -t 1000 --get-iccid`: a JSON string; anything else
//                      ("Not supported" where the modem has dropped the DMS UIM messages) falls
//                      back to AT commands on sim_tty, when it is set
//   proto mbim         `umbim -n -t 99 -d <device> subscriber`: its "simiccid:" line (no MBIM
//                      open or close, which would end the dialler's session)
//   proto modemmanager `mmcli -m <device> -K`: modem.generic.sim, then `mmcli -i <that> -K`:
//                      sim.properties.iccid
//   any other proto    AT+CCID on sim_tty, then AT+ICCID, then AT+QCCID while the modem
//                      answers a plain ERROR (not one of its own, such as "+CME ERROR: 10")
// The tools are looked up on PATH. sim_tty is never used when it is the dialler's tty
// (network.module.device, by name or device number).
SimAnswer read_sim_iccid();
