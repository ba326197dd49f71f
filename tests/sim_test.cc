#include "inputs/sim.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/signals.h"
#include "inputs/config.h"
#include "test_support.h"

namespace {

constexpr char kIccid[] = "89441000303031011234";

// A modem's AT port on a real pty: the test's thread answers on the master as a modem does, with
// either AT+CCID answering or only the vendor's AT+QCCID (the others get ERROR).
class Modem {
 public:
  Modem() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    EXPECT_EQ(grantpt(master_), 0);
    EXPECT_EQ(unlockpt(master_), 0);
    path_ = ptsname(master_);
    // Held open, so that the master reads on between questions; closed, it ends the thread.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    thread_ = std::thread([this] { answer(); });
  }
  ~Modem() {
    close(slave_);
    thread_.join();
    close(master_);
  }
  const std::string& path() const { return path_; }
  std::atomic<bool> only_qccid{false};
  std::atomic<int> questions{0};

 private:
  void answer() {
    std::string pending;
    char chunk[128];
    ssize_t n;
    while ((n = read(master_, chunk, sizeof(chunk))) > 0) {
      pending.append(chunk, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\r')) != std::string::npos;) {
        std::string command = pending.substr(0, end);
        pending.erase(0, end + 1);
        ++questions;
        std::string reply = "\r\nERROR\r\n";
        if (command == (only_qccid ? "AT+QCCID" : "AT+CCID"))
          reply = std::string("\r\n") + (only_qccid ? "+QCCID: " : "+CCID: ") + kIccid +
                  "\r\n\r\nOK\r\n";
        if (write(master_, reply.data(), reply.size()) < 0) return;
      }
    }
  }
  int master_ = -1, slave_ = -1;
  std::string path_;
  std::thread thread_;
};

struct Expect {
  const char* iccid;
  std::string via, problem;
};

class SimTest : public testing::Test {
 protected:
  void SetUp() override {
    config_set_directory(dir_.path().c_str());
    old_path_ = getenv("PATH");
    setenv("PATH", (std::string(TOLVU_SIM_TOOLS) + ":" + old_path_).c_str(), 1);
    setenv("TOLVU_SIM_FILE", dir_.write("iccid", std::string(kIccid) + "\n").c_str(), 1);
    setenv("TOLVU_SIM_PIDFILE", (dir_.path() + "/tool.pid").c_str(), 1);
    unsetenv("TOLVU_SIM_MODE");
  }
  void TearDown() override {
    setenv("PATH", old_path_.c_str(), 1);
    unsetenv("TOLVU_SIM_MODE");
    config_set_directory(nullptr);
  }
  // network.module with proto and device; easycwmp.bandwidth with sim_tty and sim_command.
  void configure(const std::string& proto, const std::string& device, const std::string& tty = "",
                 const std::string& command = "") {
    dir_.write("network", "config interface 'module'\n\toption proto '" + proto +
                              "'\n\toption device '" + device + "'\n");
    std::string bandwidth = "config bandwidth 'bandwidth'\n";
    if (!tty.empty()) bandwidth += "\toption sim_tty '" + tty + "'\n";
    if (!command.empty()) bandwidth += "\toption sim_command \"" + command + "\"\n";
    dir_.write("easycwmp", bandwidth);
  }
  void expect(const Expect& e, const std::string& label) {
    SimAnswer answer = read_sim_iccid();
    EXPECT_STREQ(answer.iccid.data(), e.iccid) << label;
    EXPECT_EQ(answer.via, e.via) << label;
    EXPECT_EQ(answer.problem.data(), e.problem) << label;
  }

  TempDir dir_;
  std::string old_path_;
};

// Every source, as the real tools print, and a modem on a tty: the ICCID each gives, and how it
// was asked; uqmi's "Not supported" falls back to the AT port, and a modem answering ERROR to
// AT+CCID is asked the vendors' commands until AT+QCCID answers.
TEST_F(SimTest, EachSourceGivesTheIccid) {
  Modem modem;
  const std::string tty = modem.path();
  configure("qmi", "/dev/cdc-wdm0", "", "echo ' 89441000303031011234f  '");
  expect({"89441000303031011234F", "sim_command", ""}, "sim_command");
  configure("qmi", "/dev/cdc-wdm0", tty);
  expect({kIccid, "uqmi", ""}, "qmi");
  EXPECT_EQ(modem.questions, 0);
  setenv("TOLVU_SIM_MODE", "unsupported", 1);
  expect({kIccid, "AT+CCID on " + tty, ""}, "qmi, not supported");
  unsetenv("TOLVU_SIM_MODE");
  configure("mbim", "/dev/cdc-wdm0");
  expect({kIccid, "umbim", ""}, "mbim");
  configure("modemmanager", "/sys/devices/platform/soc/usb1/1-1");
  expect({kIccid, "mmcli", ""}, "modemmanager");
  modem.only_qccid = true;
  modem.questions = 0;
  configure("3g", "/dev/ttyUSB0", tty);
  expect({kIccid, "AT+QCCID on " + tty, ""}, "3g, AT+QCCID");
  EXPECT_EQ(modem.questions, 3);  // AT+CCID, AT+ICCID, AT+QCCID
}

// A tool that hangs is abandoned at the deadline with everything it started; garbage, a failing
// tool, an empty answer and a tty that is not free each say why, naming the tool.
TEST_F(SimTest, FailuresSayWhy) {
  // The tools the question leaves are adopted here, so that their end can be waited for (not
  // under qemu-user, which has no subreapers: there only the answers are checked).
  bool adopts = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
  const std::string pid_file = dir_.path() + "/tool.pid";
  // Gone: reaped here, or already by whoever else adopted it.
  auto tool_ends = [&] {
    if (!adopts) return static_cast<void>(unlink(pid_file.c_str()));
    pid_t tool = static_cast<pid_t>(std::stol(read_file(pid_file)));
    EXPECT_TRUE(wait_for([&] {
      return waitpid(tool, nullptr, WNOHANG) == tool || (kill(tool, 0) != 0 && errno == ESRCH);
    }));
    unlink(pid_file.c_str());
  };
  configure("qmi", "/dev/cdc-wdm0");
  setenv("TOLVU_SIM_MODE", "hang", 1);
  expect({"", "uqmi", "uqmi -s -d /dev/cdc-wdm0 -t 1000 --get-iccid did not answer within 3 s"},
         "hang");
  tool_ends();
  // A stop meanwhile ends the question at once, and with it what sim_command's shell started.
  configure("qmi", "/dev/cdc-wdm0", "", "uqmi -d /dev/cdc-wdm0 --get-iccid | cat");
  install_signal_handlers();
  pthread_t asking = pthread_self();
  std::thread stopper([&] {
    wait_for([&] { return access(pid_file.c_str(), F_OK) == 0; });
    pthread_kill(asking, SIGTERM);
  });
  expect({"", "sim_command", "a stop came first"}, "stop");
  stopper.join();
  reset_signal_requests();
  tool_ends();
  prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);

  configure("qmi", "/dev/cdc-wdm0");
  setenv("TOLVU_SIM_MODE", "garbage", 1);
  expect({"", "uqmi",
          "uqmi -s -d /dev/cdc-wdm0 -t 1000 --get-iccid printed \"ok?[0m done\", "
          "not an ICCID"},
         "garbage");
  configure("modemmanager", "/sys/devices/x");
  setenv("TOLVU_SIM_MODE", "fail", 1);
  expect({"", "mmcli", "mmcli -m /sys/devices/x -K ended with status 1"}, "fails");
  unsetenv("TOLVU_SIM_MODE");
  setenv("PATH", "/nonexistent", 1);
  expect({"", "mmcli", "mmcli -m /sys/devices/x -K ended with status 127"}, "not installed");
  setenv("PATH", (std::string(TOLVU_SIM_TOOLS) + ":" + old_path_).c_str(), 1);
  configure("qmi", "/dev/cdc-wdm0", "", "echo");
  expect({"", "sim_command", "sim_command printed no ICCID"}, "empty line");
  dir_.write("iccid", "");
  configure("mbim", "/dev/cdc-wdm0");
  expect({"", "umbim", "umbim -n -t 99 -d /dev/cdc-wdm0 subscriber printed no ICCID"}, "no SIM");
  configure("modemmanager", "/sys/devices/x");
  expect({"", "mmcli", "mmcli -m /sys/devices/x -K printed no SIM"}, "no SIM object");

  Modem modem;
  const std::string tty = modem.path();
  std::string alias = dir_.path() + "/ttyModem";
  ASSERT_EQ(symlink(tty.c_str(), alias.c_str()), 0);
  configure("directip", "/dev/ttyUSB2");
  expect({"", "", "sim_tty is not set"}, "no sim_tty");
  configure("3g", tty, tty);
  expect({"", "", "sim_tty " + tty + " is the dialler's tty"}, "the dialler's");
  configure("3g", alias, tty);
  expect({"", "", "sim_tty " + tty + " is the dialler's tty"}, "the dialler's, by another name");
  EXPECT_EQ(modem.questions, 0);
}

}  // namespace
