#include "report/cycle.h"
#include "report/pending.h"
#include "report/report_body.h"

#include <inttypes.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/signals.h"
#include "inputs/config.h"
#include "inputs/gateway.h"
#include "inputs/interface.h"
#include "inputs/module.h"
#include "service/status.h"
#include "test_support.h"

namespace {

struct Sent {
  std::string body;
  std::string installer_id;
};
std::vector<Sent> sent;
bool accept_reports = true;
int replies_lost = 0;  // reports the server takes whose reply never comes back

UploadResult record_report(const char* body, const char* installer_id, const TlsFiles&) {
  sent.push_back({body, installer_id});
  UploadResult result;
  result.outcome = accept_reports ? ReportOutcome::kAccepted : ReportOutcome::kRefused;
  if (accept_reports && replies_lost > 0 && replies_lost--) result.outcome = ReportOutcome::kFailed;
  return result;
}

const char kBootId[] = "3f2a6c1e-0b1d-4c1a-9e2f-1a2b3c4d5e6f";

// A router on disk: UCI files, a routing table and interface counters in a scratch directory.
class CycleTest : public testing::Test {
 protected:
  void SetUp() override {
    verbose = 1;
    module_detected = 0;
    accounting = Accounting{};
    sent.clear();
    accept_reports = true;
    config_set_directory((dir_.path() + "/config").c_str());
    gateway_set_route_table((dir_.path() + "/route").c_str());
    gateway_set_route_table6((dir_.path() + "/ipv6_route").c_str());
    interface_set_directory((dir_.path() + "/net").c_str());
    boot_id_set_file(dir_.write("boot_id", std::string(kBootId) + "\n").c_str());
    accounting_set_state_file((dir_.path() + "/tolvu.state").c_str());
    pending_set_file((dir_.path() + "/flash/pending").c_str());
    dir_.write("flash/.keep", "");
    cycle_set_sender(record_report);
    cycle_forget_said();
    kernel_set_word_size(64);
    set_identity("SN-0042", "eth1", "acme");
    set_route("eth1");
  }
  void TearDown() override {
    config_set_directory(nullptr);
    gateway_set_route_table(nullptr);
    gateway_set_route_table6(nullptr);
    gateway_set_route_table6(nullptr);
    interface_set_directory(nullptr);
    boot_id_set_file(nullptr);
    accounting_set_state_file(nullptr);
    pending_set_file(nullptr);
    cycle_set_sender(nullptr);
    kernel_set_word_size(0);
    module_set_sysfs_root(nullptr);
  }

  void set_identity(const std::string& serial, const std::string& module,
                    const std::string& installer) {
    dir_.write("config/easycwmp", "config device\n\toption serial_number '" + serial +
                                      "'\nconfig local global\n\toption host '" + installer +
                                      "'\n");
    dir_.write("config/network", "config interface module\n\toption ifname '" + module + "'\n");
  }
  void set_route(const std::string& iface) {
    dir_.write("route", "Iface\tDestination\tGateway\n" + iface +
                            "\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
  }
  void set_counters(const std::string& iface, const std::string& tx, const std::string& rx,
                    const std::string& ifindex = "3") {
    dir_.write("net/" + iface + "/statistics/tx_bytes", tx + "\n");
    dir_.write("net/" + iface + "/statistics/rx_bytes", rx + "\n");
    dir_.write("net/" + iface + "/ifindex", ifindex + "\n");
  }
  std::string cycle() {
    return capture_output([] { update_bandwidth(); }).first;
  }
  // The state file's inode: every write makes a new file, renamed over the old one.
  ino_t state_inode() const {
    struct stat st {};
    return stat((dir_.path() + "/tolvu.state").c_str(), &st) == 0 ? st.st_ino : 0;
  }

  TempDir dir_;
};

TEST_F(CycleTest, FirstCycleReportsTheWholeCounters) {
  set_counters("eth1", "100", "500");
  EXPECT_EQ(cycle(),
            "Serial is: SN-0042\n"
            "Installer ID: acme\n"
            "Module interface: eth1 (network.module.ifname)\n"
            "Gateway: eth1\n"
            "Module Detected: 1\n"
            "Bandwidth Calc: tx: 100 rx: 500 txdiff: 100 rxdiff: 500 total: 600\n"
            "Bandwidth Calc (H): tx: 100.00 B rx: 500.00 B txdiff: 100.00 B rxdiff: 500.00 B "
            "total: 600.00 B\n"
            "Bandwidth Command: serial=SN-0042&bw_tot=600&bw_dn=500&bw_up=100\n");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].body, "serial=SN-0042&bw_tot=600&bw_dn=500&bw_up=100");
  EXPECT_EQ(sent[0].installer_id, "acme");
  EXPECT_EQ(accounting.tx.baseline, 100u);
  EXPECT_EQ(accounting.rx.baseline, 500u);
  EXPECT_EQ(read_file(dir_.path() + "/tolvu.state")
                .rfind("version=2\nboot_id=" + std::string(kBootId) +
                           "\ninterface=eth1\nifindex=3\ntx_baseline=100\nrx_baseline=500\n",
                       0),
            0u);
}

// Accepted reports move the baselines; refused ones leave the traffic for the next report.
TEST_F(CycleTest, OnlyAcceptedReportsMoveTheBaselines) {
  set_counters("eth1", "100", "500");
  cycle();
  set_counters("eth1", "150", "700");
  accept_reports = false;
  cycle();
  EXPECT_EQ(sent.back().body, "serial=SN-0042&bw_tot=250&bw_dn=200&bw_up=50");
  set_counters("eth1", "160", "800");
  accept_reports = true;
  cycle();
  EXPECT_EQ(sent.back().body, "serial=SN-0042&bw_tot=360&bw_dn=300&bw_up=60");
  EXPECT_EQ(accounting.tx.baseline, 160u);
  EXPECT_EQ(accounting.rx.baseline, 800u);
}

// What the module carried while another link held the route is cellular traffic too: a skipped
// cycle keeps the baselines, and the next report carries it.
TEST_F(CycleTest, SkippedCyclesKeepTheBaselines) {
  set_counters("eth1", "100", "500");
  set_counters("eth0.2", "7", "9");
  cycle();
  set_route("eth0.2");
  EXPECT_EQ(cycle(),
            "Serial is: SN-0042\nInstaller ID: acme\nGateway: eth0.2\nModule Detected: 1\n"
            "skip reporting\n");
  EXPECT_EQ(accounting.tx.baseline, 100u);
  EXPECT_EQ(accounting.last_outcome, CycleOutcome::kSkipped);
  EXPECT_EQ(sent.size(), 1u);

  // The state file is written only when its text changes: not by a skipped cycle that ends in the
  // second of the last save, nor by the same books saved again; but again when it went missing,
  // and by a cycle that changed the books.
  const std::string state = dir_.path() + "/tolvu.state";
  std::string text = read_file(state);
  ino_t saved = state_inode();
  cycle();
  EXPECT_EQ(state_inode() == saved, read_file(state) == text);
  saved = state_inode();
  save_accounting(accounting);
  EXPECT_EQ(state_inode(), saved);
  ASSERT_EQ(unlink(state.c_str()), 0);
  cycle();
  EXPECT_NE(state_inode(), 0u);
  saved = state_inode();

  set_route("eth1");
  set_counters("eth1", "130", "540");
  cycle();
  EXPECT_EQ(sent.back().body, "serial=SN-0042&bw_tot=70&bw_dn=40&bw_up=30");
  EXPECT_NE(state_inode(), saved);

  // The comparison is exact: an empty module interface, or "NONE", never reports.
  set_identity("SN-0042", "", "acme");
  cycle();
  EXPECT_EQ(accounting.tx.baseline, 130u);
  dir_.write("route", "Iface\tDestination\n");
  set_identity("SN-0042", "NONE", "acme");
  EXPECT_NE(cycle().find("Gateway: NONE\nModule Detected: 1\nskip reporting\n"), std::string::npos);
  EXPECT_EQ(sent.size(), 2u);
}

// The baselines are subtracted only from the counters they came from: the same interface, not
// re-created, in the same boot; a counter that went back counts from 0 on its own. What was
// sampled and not yet accepted is carried into the next report.
TEST_F(CycleTest, CountsAfreshForOtherCounters) {
  struct Case {
    const char* what;
    std::function<void()> change;
    const char* body;
  } cases[] = {
      {"nothing changed", [] {}, "serial=SN-0042&bw_tot=2500&bw_dn=2000&bw_up=500"},
      {"interface re-created", [this] { set_counters("eth1", "1500", "7000", "9"); },
       "serial=SN-0042&bw_tot=8500&bw_dn=7000&bw_up=1500"},
      {"router rebooted",
       [this] { dir_.write("boot_id", "0badc0de-0000-4000-8000-000000000000\n"); },
       "serial=SN-0042&bw_tot=8500&bw_dn=7000&bw_up=1500"},
      // Its earlier traffic was not the module's: counting starts from its counters now. What
      // eth1 carried up to the switch is carried.
      {"another module interface",
       [this] {
         set_identity("SN-0042", "wwan0", "acme");
         set_route("wwan0");
         set_counters("wwan0", "1500", "7000");
       },
       "serial=SN-0042&bw_tot=2500&bw_dn=2000&bw_up=500"},
      {"tx restarted, rx went on", [this] { set_counters("eth1", "40", "7000"); },
       "serial=SN-0042&bw_tot=2040&bw_dn=2000&bw_up=40"},
      // On a 32-bit kernel the same step back is a wrap past 2^32: 2^32 - 1000 + 40 since the
      // last sample, 1000.
      {"tx wrapped on a 32-bit kernel",
       [this] {
         kernel_set_word_size(32);
         set_counters("eth1", "40", "7000");
       },
       "serial=SN-0042&bw_tot=4294968336&bw_dn=2000&bw_up=4294966336"},
  };
  for (const auto& c : cases) {
    SetUp();
    set_counters("eth1", "1000", "5000");
    cycle();
    set_counters("eth1", "1500", "7000");
    c.change();
    cycle();
    EXPECT_EQ(sent.back().body, c.body) << c.what;
    TearDown();
  }
}

// A modem reset while reports are refused: what the old interface had carried goes into the next
// report, beside the new interface's counters, and the lines add up.
TEST_F(CycleTest, CarriesTrafficAcrossAModemReset) {
  set_counters("eth1", "1000", "5000");
  cycle();
  accept_reports = false;
  set_counters("eth1", "1500", "7000");
  cycle();
  set_counters("eth1", "100", "200", "9");
  accept_reports = true;
  std::string out = cycle();
  EXPECT_NE(out.find("Carrying 500 bytes up and 2000 down not yet accepted from the interface "
                     "before it was recreated\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Bandwidth Calc: tx: 100 rx: 200 txdiff: 100 rxdiff: 200 total: 300\n"
                     "Bandwidth Carried: tx: 500 rx: 2000 total: 2500\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(sent.back().body, "serial=SN-0042&bw_tot=2800&bw_dn=2200&bw_up=600");
  EXPECT_EQ(accounting.tx.carry + accounting.rx.carry, 0u);
  set_counters("eth1", "150", "260", "9");
  EXPECT_EQ(cycle().find("Carried"), std::string::npos);
  EXPECT_EQ(sent.back().body, "serial=SN-0042&bw_tot=110&bw_dn=60&bw_up=50");
}

// A restart whose stop comes while netifd is asked: the built-in rules may name another device
// than netifd does (a QMAP modem's wwan0 beside netifd's qmimux0). The books stay the saved
// device's, so the next start goes on from them and the server gets qmimux0's bytes exactly.
TEST_F(CycleTest, AStopDuringTheStartsQuestionKeepsTheBooks) {
  set_identity("SN-0042", "qmimux0", "acme");
  set_route("qmimux0");
  set_counters("wwan0", "10", "10", "6");
  set_counters("qmimux0", "1000", "1000", "7");
  cycle();
  set_counters("qmimux0", "6000", "6000", "7");
  set_identity("SN-0042", "wwan0", "acme");
  install_signal_handlers();
  raise(SIGTERM);
  std::string out = capture_output([] {
                      resume_accounting();
                      stop_accounting();
                    }).first;
  reset_signal_requests();
  EXPECT_EQ(out.find("wwan0"), std::string::npos) << out;
  set_counters("qmimux0", "7000", "7000", "7");  // traffic while the service was down
  set_identity("SN-0042", "qmimux0", "acme");
  accounting = Accounting{};
  capture_output([] { resume_accounting(); });
  cycle();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].body, "serial=SN-0042&bw_tot=2000&bw_dn=1000&bw_up=1000");
  EXPECT_EQ(sent[1].body, "serial=SN-0042&bw_tot=12000&bw_dn=6000&bw_up=6000");
}

// A SIM swap while the server refuses, a restart, then a lost reply: the old SIM's books close at
// the last sample before the swap was seen and go first, on their own line, under their own
// ICCID, re-sent until accepted; only then does the new SIM's traffic go, from the swap on.
TEST_F(CycleTest, ASimSwapClosesTheOldSimsBooksExactly) {
  ReportPolicy policy;
  policy.report_id = policy.report_sim = true;
  policy.sim_check_interval = 0;
  cycle_set_policy(policy);
  std::string sim = dir_.write("sim", "89441000303031011234\n");
  dir_.write("config/easycwmp",
             "config device\n\toption serial_number 'SN-0042'\n"
             "config local global\n\toption host 'acme'\n"
             "config bandwidth bandwidth\n\toption sim_command 'cat " +
                 sim + "'\n");
  set_counters("eth1", "0", "0");
  EXPECT_NE(capture_output([] { resume_accounting(); })
                .first.find("SIM: 89441000303031011234 "
                            "(sim_command)\n"),
            std::string::npos);
  set_counters("eth1", "100", "500");
  cycle();
  char epoch_a[17];
  snprintf(epoch_a, sizeof(epoch_a), "%016" PRIx64, accounting.epoch);
  std::string line_a = std::string("&epoch=") + epoch_a;
  EXPECT_EQ(sent.back().body, "serial=SN-0042&bw_tot=600&bw_dn=500&bw_up=100" + line_a +
                                  "&seq=1&iccid=89441000303031011234");
  accept_reports = false;
  set_counters("eth1", "300", "900");
  cycle();
  dir_.write("sim", "8988211000000123456F\n");
  set_counters("eth1", "350", "1000");  // the new SIM's first bytes, before the cycle saw it
  EXPECT_NE(cycle().find("SIM 8988211000000123456F is in (sim_command): 200 bytes up and 400 "
                         "down closed for SIM 89441000303031011234\n"),
            std::string::npos);
  EXPECT_EQ(sent.back().body, "serial=SN-0042&bw_tot=600&bw_dn=400&bw_up=200" + line_a +
                                  "&seq=2&iccid=89441000303031011234");
  size_t before_restart = sent.size();
  capture_output([] { stop_accounting(); });
  accounting = Accounting{};
  cycle_forget_said();
  capture_output([] { resume_accounting(); });
  EXPECT_EQ(sent.size(), before_restart);
  accept_reports = true;
  replies_lost = 1;
  set_counters("eth1", "400", "1100");
  cycle();
  EXPECT_EQ(sent.back().body, "serial=SN-0042&bw_tot=600&bw_dn=400&bw_up=200" + line_a +
                                  "&seq=2&iccid=89441000303031011234");
  cycle();
  ASSERT_EQ(sent.size(), before_restart + 3);
  EXPECT_EQ(sent[sent.size() - 2].body, sent[sent.size() - 3].body);
  EXPECT_EQ(sent.back().body.find("serial=SN-0042&bw_tot=300&bw_dn=200&bw_up=100&epoch="), 0u)
      << sent.back().body;
  EXPECT_EQ(sent.back().body.find(line_a), std::string::npos);
  EXPECT_NE(sent.back().body.find("&seq=1&iccid=8988211000000123456F"), std::string::npos);
  EXPECT_FALSE(accounting.closed[0].iccid[0]);
  cycle_set_policy(ReportPolicy{});
}

// Without a routing table nothing says the route moved: skip, but keep the baselines.
TEST_F(CycleTest, UnreadableRouteTableKeepsTheBaselines) {
  set_counters("eth1", "100", "500");
  cycle();
  dir_.write("route", "");
  gateway_set_route_table((dir_.path() + "/gone").c_str());
  EXPECT_EQ(cycle(),
            "Serial is: SN-0042\nInstaller ID: acme\nERR: file not opened\nskip reporting\n");
  EXPECT_EQ(accounting.tx.baseline, 100u);
  EXPECT_EQ(accounting.rx.baseline, 500u);
  EXPECT_EQ(accounting.last_outcome, CycleOutcome::kNoRouteTable);
}

TEST_F(CycleTest, CountsAreExactBeyondSinglePrecision) {
  set_counters("eth1", "16777219", "9007199254740993");
  std::string out = cycle();
  EXPECT_NE(out.find("tx: 16777219 rx: 9007199254740993 txdiff: 16777219 "
                     "rxdiff: 9007199254740993 total: 9007199271518212\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(sent.back().body,
            "serial=SN-0042&bw_tot=9007199271518212&bw_dn=9007199254740993&bw_up=16777219");
}

// Counters that cannot be read are not zero: the cycle fails, says so once, and sends nothing.
TEST_F(CycleTest, UnreadableCountersFailTheCycle) {
  dir_.write("net/eth1/ifindex", "3\n");
  for (int i = 0; i < 2; ++i) {
    auto [out, err] = capture_output([] { update_bandwidth(); });
    EXPECT_EQ(out, std::string("Serial is: SN-0042\nInstaller ID: acme\n") +
                       (i == 0 ? "Module interface: eth1 (network.module.ifname)\n" : "") +
                       "Gateway: eth1\nModule Detected: 1\n");
    EXPECT_EQ(err, i == 0 ? "Cannot read the counters of eth1; the report waits\n" : "");
  }
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(accounting.last_outcome, CycleOutcome::kFailed);

  // Counters whose boot cannot be told (the boot id unreadable for a moment) are no sample either:
  // not a reboot, nor a return from one.
  set_counters("eth1", "100", "500");
  cycle();
  boot_id_set_file((dir_.path() + "/no-boot-id").c_str());
  set_counters("eth1", "150", "600");
  auto [out, err] = capture_output([] { update_bandwidth(); });
  EXPECT_EQ(err, "Cannot read the boot id; the report waits\n");
  EXPECT_EQ(sent.size(), 1u);
  boot_id_set_file((dir_.path() + "/boot_id").c_str());
  cycle();
  EXPECT_EQ(sent.back().body, "serial=SN-0042&bw_tot=150&bw_dn=100&bw_up=50");
}

// With min_report_bytes, a report with little traffic waits, but never past max_report_interval
// after the last accepted one; the first report of all never waits.
TEST_F(CycleTest, SmallReportsWaitWhenAsked) {
  ReportPolicy policy;
  policy.min_report_bytes = 1000;
  policy.max_report_interval = 3600;
  cycle_set_policy(policy);
  set_counters("eth1", "100", "200");
  cycle();
  ASSERT_EQ(sent.size(), 1u);
  set_counters("eth1", "400", "600");
  std::string out = cycle();
  // The time alone when that is today, the date too when it is not.
  std::string latest = local_time_text(accounting.last_accepted + 3600).data();
  std::string today = local_time_text(accounting.last_accepted).data();
  if (latest.compare(0, 11, today, 0, 11) == 0) latest = latest.substr(11);
  EXPECT_NE(out.find("Bandwidth Calc: tx: 400 rx: 600 txdiff: 300 rxdiff: 400 total: 700\n"),
            std::string::npos);
  EXPECT_NE(out.find("\nReport deferred: 700 bytes since the last accepted report, below "
                     "min_report_bytes 1000 (next report by " +
                     latest + " at the latest)\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Bandwidth Command"), std::string::npos);
  EXPECT_EQ(accounting.last_outcome, CycleOutcome::kDeferred);
  EXPECT_EQ(sent.size(), 1u);
  set_counters("eth1", "700", "800");  // 1200 since the last accepted report
  cycle();
  EXPECT_EQ(sent.back().body, "serial=SN-0042&bw_tot=1200&bw_dn=600&bw_up=600");
  accounting.last_accepted -= 3600;  // an hour without a report: this one goes, however small
  set_counters("eth1", "701", "800");
  cycle();
  EXPECT_EQ(sent.back().body, "serial=SN-0042&bw_tot=1&bw_dn=0&bw_up=1");
  // A limit past any date saturates: the small report waits.
  policy.max_report_interval = INT64_MAX;
  cycle_set_policy(policy);
  set_counters("eth1", "702", "800");
  EXPECT_NE(cycle().find("Report deferred: 1 bytes"), std::string::npos);
  cycle_set_policy(ReportPolicy{});
}

// A stop says where the pending traffic is: on flash, written during the outage or at the stop;
// or, when flash cannot take it, that it is not there, and why.
TEST_F(CycleTest, AStopSaysWhetherFlashKeptTheTraffic) {
  ReportPolicy policy;
  policy.persist_interval = 0;
  cycle_set_policy(policy);
  accept_reports = false;
  set_counters("eth1", "100", "500");
  cycle();  // refused: the traffic goes to flash at once
  std::string flash = dir_.path() + "/flash/pending";
  EXPECT_EQ(capture_output([] { stop_accounting(); }).first,
            "Stopping with 100 bytes up and 500 down not yet accepted, kept in " + flash + "\n");
  set_counters("eth1", "150", "600");
  // The flash that held the older figure is gone.
  ASSERT_EQ(rename((dir_.path() + "/flash").c_str(), (dir_.path() + "/gone").c_str()), 0);
  auto [out, err] = capture_output([] { stop_accounting(); });
  EXPECT_EQ(out,
            "Stopping with 150 bytes up and 600 down not yet accepted; they could not be kept "
            "in " +
                flash + ": No such file or directory\n");
  EXPECT_EQ(err, "Cannot keep the pending traffic in " + flash + ": No such file or directory\n");
  cycle_set_policy(ReportPolicy{});
}

// A qmi modem, found by its control node, is stopped while its device is there, and comes back
// from a reset under another name while the service is down: the books kept network.module's
// digest over the stop, so the start counts the new device from 0, not from its counters now, and
// --status says so before it.
TEST_F(CycleTest, AModemBackUnderAnotherNameWhileStopped) {
  std::string net = dir_.path() + "/sys/devices/usb1/1-1/net/";
  dir_.write("sys/devices/usb1/1-1/net/wwan0/type", "1\n");
  dir_.write("sys/class/usbmisc/cdc-wdm0/.keep", "");
  ASSERT_EQ(symlink((dir_.path() + "/sys/devices/usb1/1-1").c_str(),
                    (dir_.path() + "/sys/class/usbmisc/cdc-wdm0/device").c_str()),
            0);
  module_set_sysfs_root((dir_.path() + "/sys").c_str());
  dir_.write("config/network",
             "config interface module\n\toption proto qmi\n\toption device /dev/cdc-wdm0\n");
  set_route("wwan0");
  set_counters("wwan0", "100", "500");
  cycle();
  EXPECT_EQ(sent.back().body, "serial=SN-0042&bw_tot=600&bw_dn=500&bw_up=100");
  capture_output([] { stop_accounting(); });

  ASSERT_EQ(rename((net + "wwan0").c_str(), (net + "wwan1").c_str()), 0);
  std::filesystem::remove_all(dir_.path() + "/net/wwan0");
  set_counters("wwan1", "30", "70", "4");
  set_route("wwan1");
  std::string lock = dir_.path() + "/tolvu.lock";
  std::string status = capture_output([&] { print_status(lock.c_str(), false, 3600); }).first;
  EXPECT_NE(status.find("Not yet accepted: tx 30 rx 70 total 100 bytes"), std::string::npos)
      << status;
  std::string out = capture_output([] { resume_accounting(); }).first;
  EXPECT_EQ(out.find("from its counters now"), std::string::npos) << out;
  cycle();
  EXPECT_EQ(sent.back().body, "serial=SN-0042&bw_tot=100&bw_dn=70&bw_up=30");
}

TEST_F(CycleTest, SerialIsEncodedAsAFormValue) {
  set_counters("eth1", "1", "2");
  set_identity("A&bw_tot=0 x/%~é", "eth1", "acme");
  cycle();
  EXPECT_EQ(sent.back().body, "serial=A%26bw_tot%3D0%20x%2F%25~%C3%A9&bw_tot=3&bw_dn=2&bw_up=1");
  set_identity("", "eth1", "acme");
  cycle();
  EXPECT_EQ(sent.back().body, "serial=&bw_tot=0&bw_dn=0&bw_up=0");
}

TEST_F(CycleTest, QuietInDaemonMode) {
  verbose = 0;
  set_counters("eth1", "1", "2");
  EXPECT_EQ(cycle(), "");
  EXPECT_EQ(sent.size(), 1u);
}

TEST(ReportBodyTest, EncodingFitsOrFails) {
  char small[8];
  EXPECT_TRUE(encode_form_value("abc", small, sizeof(small)));
  EXPECT_STREQ(small, "abc");
  EXPECT_FALSE(encode_form_value("a&b&c", small, sizeof(small)));
  std::string serial(127, '&');
  char body[kLineSize];
  ASSERT_TRUE(format_report_body(body, sizeof(body), serial.c_str(), UINT64_MAX, 1, 2));
  std::string encoded;
  for (int i = 0; i < 127; ++i) encoded += "%26";
  EXPECT_EQ(std::string(body),
            "serial=" + encoded + "&bw_tot=18446744073709551615&bw_dn=1&bw_up=2");
}

}  // namespace
