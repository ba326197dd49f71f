#include "service/service.h"

#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "inputs/config.h"
#include "inputs/gateway.h"
#include "report/accounting.h"
#include "test_support.h"

namespace {

TEST(ReportIntervalTest, FollowsThePollingThenThePeriodicInterval) {
  struct Case {
    const char* periodic;
    const char* polling;
    int expected;
  } cases[] = {
      {"600", "240", 240}, {"600", "0", 300},  {"7", "0", 3},      {"0", "0", 1},
      {"600", "", 300},    {"600", "x", 300},  {"600", "-5", 240}, {"-100", "0", 240},
      {"-1", "0", 1},      {"600", "30s", 30}, {"1", "0", 1},
  };
  for (const auto& c : cases) {
    bool raised = false;
    EXPECT_EQ(report_interval(c.periodic, c.polling, &raised), c.expected)
        << c.periodic << "/" << c.polling;
    // Below one second is raised to it: cycles never run back to back.
    EXPECT_EQ(raised, std::string(c.polling) == "0" && atoi(c.periodic) / 2 == 0)
        << c.periodic << "/" << c.polling;
  }
}

bool process_alive(pid_t pid) {
  return kill(pid, 0) == 0;
}

// Starts the service in a child process with its output in files and its paths in dir.
class ServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    lock_ = dir_.path() + "/tolvu.lock";
    dir_.write("config/easycwmp", "config acs\n\toption bwpolling_interval 1\n");
    dir_.write("route", "Iface\tDestination\n");
  }
  void TearDown() override {
    for (pid_t pid : started_) kill(pid, SIGKILL);
    for (pid_t pid : started_) waitpid(pid, nullptr, 0);
  }

  pid_t start(const char* argument, const std::string& name) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
      freopen((dir_.path() + "/" + name + ".out").c_str(), "w", stdout);
      freopen((dir_.path() + "/" + name + ".err").c_str(), "w", stderr);
      config_set_directory((dir_.path() + "/config").c_str());
      gateway_set_route_table((dir_.path() + "/route").c_str());
      gateway_set_route_table6((dir_.path() + "/ipv6_route").c_str());
      accounting_set_state_file((dir_.path() + "/tolvu.state").c_str());
      char program[] = "tolvu";
      char arg[64];
      snprintf(arg, sizeof(arg), "%s", argument ? argument : "");
      char* argv[] = {program, argument ? arg : nullptr, nullptr};
      int status = service_main(argument ? 2 : 1, argv, lock_.c_str());
      fflush(nullptr);
      _exit(status);
    }
    started_.push_back(pid);
    return pid;
  }
  // The child's exit status; a child still running after timeout_ms is killed and fails the test
  // instead of hanging it.
  int exit_status(pid_t pid, int timeout_ms = 20000) {
    int status = 0;
    bool ended = wait_for([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "process " << pid << " still running after " << timeout_ms << " ms";
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string output(const std::string& name) { return read_file(dir_.path() + "/" + name); }
  bool lock_is_held() {
    int fd = open(lock_.c_str(), O_RDONLY);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return held;
  }
  pid_t lock_pid() { return atoi(output("tolvu.lock").c_str()); }

  TempDir dir_;
  std::string lock_;
  std::vector<pid_t> started_;
};

TEST_F(ServiceTest, HelpAndVersionTouchNothing) {
  EXPECT_EQ(exit_status(start("--help", "help")), 0);
  EXPECT_EQ(output("help.out").rfind("Usage: tolvu [--daemon | --status [--json]]\n", 0), 0u);
  EXPECT_EQ(exit_status(start("--version", "version")), 0);
  EXPECT_EQ(output("version.out"), "tolvu " TOLVU_VERSION "\n");
  EXPECT_FALSE(std::ifstream(lock_).good());
}

TEST_F(ServiceTest, DisabledExitsWithoutTheLock) {
  dir_.write("config/easycwmp", "config bandwidth bandwidth\n\toption enabled '0'\n");
  EXPECT_EQ(exit_status(start(nullptr, "off")), 0);
  EXPECT_EQ(output("off.out"), "");
  EXPECT_FALSE(std::ifstream(lock_).good());

  // Only exactly "0" disables.
  dir_.write("config/easycwmp", "config bandwidth bandwidth\n\toption enabled 'no'\n");
  pid_t on = start(nullptr, "on");
  EXPECT_TRUE(wait_for([&] { return lock_is_held(); }));
  EXPECT_TRUE(process_alive(on));
}

// Console mode: the start-up lines, then cycles; one instance; a killed one's lock is taken over.
TEST_F(ServiceTest, ConsoleModeHoldsTheLockWhileAlive) {
  pid_t first = start("-d", "first");
  ASSERT_TRUE(
      wait_for([&] { return output("first.out").find("skip reporting") != std::string::npos; }));
  EXPECT_EQ(output("first.out")
                .rfind("Acs bandwidth Started not daemonized.\n"
                       "Acs Timeout value: 600 using 1\n"
                       "The module interface is not configured: network.module has neither "
                       "ifname nor device\n"
                       "Counting afresh: no state saved in this boot\n"
                       "Serial is: \nInstaller ID: \nGateway: NONE\n",
                       0),
            0u)
      << output("first.out");
  EXPECT_TRUE(lock_is_held());
  EXPECT_EQ(lock_pid(), first);

  EXPECT_EQ(exit_status(start(nullptr, "second")), 1);
  EXPECT_EQ(output("second.err"), "I am already running!\n");
  EXPECT_EQ(output("second.out"), "");

  kill(first, SIGKILL);
  waitpid(first, nullptr, 0);
  pid_t third = start("daemon", "third");  // not "--daemon": console mode
  ASSERT_TRUE(wait_for([&] { return lock_pid() == third; }));
  EXPECT_TRUE(lock_is_held());
  EXPECT_EQ(output("third.out").rfind("Acs bandwidth Started not daemonized.\n", 0), 0u);

  // SIGTERM, as procd sends it: the service saves its books and ends with 0.
  kill(third, SIGTERM);
  EXPECT_EQ(exit_status(third), 0);
  EXPECT_NE(output("third.out").find("Stopping: nothing is waiting to be reported\n"),
            std::string::npos);
  EXPECT_FALSE(lock_is_held());
}

// Settings that cannot be used: one line each at start, and the default. An interval below one
// second is raised to it, so that cycles never run back to back.
TEST_F(ServiceTest, BadSettingsAreSaidOnceAtStart) {
  dir_.write("config/easycwmp",
             "config acs\n\toption periodic_interval 1\n\toption bwpolling_interval 0\n"
             "config bandwidth bandwidth\n\toption min_report_bytes '8 KB'\n"
             "\toption max_report_interval '-5'\n\toption persist_interval "
             "'99999999999999999999'\n");
  dir_.write("config/network", "config interface module\n\toption ifname eth1\n");
  pid_t service = start(nullptr, "bad");
  ASSERT_TRUE(wait_for([&] { return output("bad.out").find("Serial is:") != std::string::npos; }));
  kill(service, SIGTERM);
  EXPECT_EQ(exit_status(service), 0);
  EXPECT_EQ(output("bad.err"),
            "easycwmp.bandwidth.min_report_bytes '8 KB' is not a non-negative number: using 0\n"
            "easycwmp.bandwidth.max_report_interval '-5' is not a non-negative number: using "
            "3600\n"
            "easycwmp.bandwidth.persist_interval '99999999999999999999' is not a non-negative "
            "number: using 3600\n");
  EXPECT_EQ(output("bad.out").rfind("Acs bandwidth Started not daemonized.\n"
                                    "Acs Timeout value: 1 using 1\n"
                                    "The report interval is raised to 1 s: cycles never run back "
                                    "to back\n",
                                    0),
            0u)
      << output("bad.out");
}

TEST_F(ServiceTest, DaemonModeDetaches) {
  pid_t parent = start("--daemon", "daemon");
  EXPECT_EQ(exit_status(parent), 0);
  ASSERT_TRUE(wait_for([&] { return lock_pid() > 0 && lock_pid() != parent; }));
  pid_t daemon = lock_pid();
  started_.push_back(daemon);
  EXPECT_TRUE(process_alive(daemon));
  EXPECT_TRUE(lock_is_held());
  EXPECT_NE(getsid(daemon), getsid(0));

  char link[256] = {};
  for (int fd : {1, 2}) {
    std::string path = "/proc/" + std::to_string(daemon) + "/fd/" + std::to_string(fd);
    ssize_t n = readlink(path.c_str(), link, sizeof(link) - 1);
    ASSERT_GT(n, 0);
    link[n] = '\0';
    EXPECT_STREQ(link, "/dev/null") << "descriptor " << fd;
  }
  std::string cwd = "/proc/" + std::to_string(daemon) + "/cwd";
  ssize_t n = readlink(cwd.c_str(), link, sizeof(link) - 1);
  ASSERT_GT(n, 0);
  link[n] = '\0';
  EXPECT_STREQ(link, "/etc");
  // Nothing reaches the files the service was started with.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(output("daemon.out"), "");
  EXPECT_EQ(output("daemon.err"), "");
}

// The lock lives in a directory anyone may write to: a link, another name for a file elsewhere or
// a file others may change stops the start, and nothing is written through it.
TEST_F(ServiceTest, RefusesALockFileItCannotTrust) {
  std::string victim = dir_.write("victim", "precious\n");
  struct Case {
    const char* what;
    std::function<void()> plant;
    const char* problem;
  } cases[] = {
      {"symbolic link", [&] { symlink(victim.c_str(), lock_.c_str()); }, "is a symbolic link"},
      {"hard link", [&] { link(victim.c_str(), lock_.c_str()); },
       "has more than one name (a hard link)"},
      {"writable by others",
       [&] {
         dir_.write("tolvu.lock", "");
         chmod(lock_.c_str(), 0666);
       },
       "is writable by group or others"},
  };
  for (const auto& c : cases) {
    unlink(lock_.c_str());
    c.plant();
    EXPECT_EQ(exit_status(start(nullptr, "refused")), 1) << c.what;
    EXPECT_EQ(output("refused.err"), "Cannot use the lock file " + lock_ + ": it " + c.problem +
                                         ". Not starting; remove it if it is not yours to keep.\n")
        << c.what;
    EXPECT_EQ(output("victim"), "precious\n") << c.what;
  }
  unlink(lock_.c_str());

  // Started with the standard descriptors closed, the lock still never takes one of them.
  pid_t child = fork();
  if (child == 0) {
    close(0);
    close(1);
    close(2);
    const char* problem = nullptr;
    _exit(take_instance_lock(lock_.c_str(), &problem));
  }
  EXPECT_GT(exit_status(child), 2);
}

}  // namespace
