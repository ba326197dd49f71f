#include "report/accounting.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "common/resources.h"
#include "report/pending.h"
#include "test_support.h"

namespace {

const char kBootA[] = "3f2a6c1e-0b1d-4c1a-9e2f-1a2b3c4d5e6f";
const char kBootB[] = "0badc0de-0000-4000-8000-000000000002";

Accounting sample() {
  Accounting a;
  copy_text(a.owner.boot_id.data(), a.owner.boot_id.size(), kBootA);
  copy_text(a.owner.interface.data(), a.owner.interface.size(), "eth1");
  a.owner.ifindex = 7;
  a.tx = {UINT64_MAX - 5, UINT64_MAX, 0};
  a.rx = {12345, 12400, 66363};
  a.carry_from = CounterRestart::kRecreated;
  a.last_accepted = 1796726467;
  a.last_cycle = 1796726707;
  a.last_outcome = CycleOutcome::kFailed;
  copy_text(a.last_error.data(), a.last_error.size(), "Couldn't connect\nto server");
  return a;
}

std::string formatted(const Accounting& a) {
  char text[kMaxStateSize];
  EXPECT_TRUE(format_accounting(a, text, sizeof(text)));
  return text;
}

TEST(AccountingTest, StateTextRoundTripsExactly) {
  std::string text = formatted(sample());
  EXPECT_EQ(text,
            "version=2\nboot_id=3f2a6c1e-0b1d-4c1a-9e2f-1a2b3c4d5e6f\ninterface=eth1\nifindex=7\n"
            "tx_baseline=18446744073709551610\nrx_baseline=12345\ntx_last=18446744073709551615\n"
            "rx_last=12400\ntx_carry=0\nrx_carry=66363\ncarry_from=recreated\npending_taken=\n"
            "last_accepted=1796726467\nlast_cycle=1796726707\nlast_outcome=failed\n"
            "last_error=Couldn't connect to server\noutage_since=0\n");
  Accounting back;
  const char* problem = nullptr;
  ASSERT_TRUE(parse_accounting(text, &back, &problem)) << problem;
  EXPECT_EQ(problem, nullptr);
  EXPECT_EQ(formatted(back), text);
  // A newer version's extra keys are passed over.
  EXPECT_TRUE(parse_accounting(text + "signal=-71\n", &back, &problem));

  // The previous version's file resumes: its baselines are the last samples, nothing carried.
  ASSERT_TRUE(parse_accounting("version=1\nboot_id=" + std::string(kBootA) +
                                   "\ninterface=eth1\nifindex=7\ntx_baseline=10\nrx_baseline=20\n"
                                   "last_accepted=5\nlast_cycle=6\nlast_outcome=accepted\n"
                                   "last_error=\n",
                               &back, &problem));
  EXPECT_EQ(back.tx.last, 10u);
  EXPECT_EQ(back.rx.last, 20u);
  EXPECT_EQ(back.tx.carry + back.rx.carry, 0u);
  EXPECT_EQ(back.last_accepted, 5);
}

TEST(AccountingTest, BrokenStateIsRefusedWhole) {
  std::string good = formatted(sample());
  auto with = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  struct Case {
    std::string text;
    const char* problem;
  } cases[] = {
      {good.substr(0, good.find("rx_baseline=1") + 13), "is cut short"},
      {good.substr(0, good.find("rx_carry")), "is incomplete"},
      {with("tx_carry=0\n", ""), "is incomplete"},  // a carry left out is not a carry of 0
      {"", "is incomplete"},
      {with("18446744073709551615", "18446744073709551616"), "holds a value out of range"},
      {with("rx_baseline=12345", "rx_baseline=-1"), "holds a value out of range"},
      {with("rx_baseline=12345", "rx_baseline=12 345"), "holds a value out of range"},
      {with("rx_last=12400", "rx_last=12344"), "holds a value out of range"},  // below baseline
      {with("ifindex=7", "ifindex=2147483648"), "holds a value out of range"},
      {with("interface=eth1", "interface=../../etc"), "holds a value out of range"},
      {with("last_outcome=failed", "last_outcome=maybe"), "holds a value out of range"},
      {with("carry_from=recreated", "carry_from=x"), "holds a value out of range"},
      {with("version=2", "version=3"), "was written by another version"},
      {with("ifindex=7\n", "ifindex=7\n\x01\xff\n"), "holds a line that is not key=value"},
  };
  for (const auto& c : cases) {
    Accounting kept = sample();
    const char* problem = nullptr;
    EXPECT_FALSE(parse_accounting(c.text, &kept, &problem)) << c.text;
    EXPECT_STREQ(problem, c.problem) << c.text;
    EXPECT_EQ(formatted(kept), good);
  }
}

// A router's links and the service's books, with the files the books live in: the state in /tmp
// (gone at a reboot) and the pending traffic on flash. Every byte that crosses the module's link
// while it is the module must be billed exactly once.
class Router {
 public:
  struct Link {
    long ifindex;
    uint64_t tx = 0, rx = 0;
  };

  // Traffic over a link (the module's by default).
  void carry(uint64_t tx, uint64_t rx, const std::string& iface = "") {
    const std::string& name = iface.empty() ? module : iface;
    links[name].tx += tx;
    links[name].rx += rx;
    if (name == module) {
      traffic.tx += tx;
      traffic.rx += rx;
    }
  }
  // A cycle: sample, then (when the counters could be read) a report the server answers.
  void cycle(bool accepted = false) {
    std::optional<CounterSample> now = sampled();
    Measurement m = measure(books, now);
    books = m.next;
    if (now && accepted) {
      billed.tx += m.due.tx;
      billed.rx += m.due.rx;
      accept_report(&books, 1);
      flash.reset();
    }
    tmp = books;
  }
  void reset_counter(bool tx, bool rx) {
    if (tx) links[module].tx = 0;
    if (rx) links[module].rx = 0;
  }
  void recreate(const std::string& iface) { links[iface] = {next_index++}; }
  // A clean stop: a last sample, the books saved, the pending traffic kept on flash.
  void stop() {
    cycle();
    Traffic pending = pending_traffic(books);
    if (pending.total() > 0) flash = PendingTraffic{books.owner.boot_id, pending, 1};
  }
  // A start, as the service takes its books back: the state, then what flash holds.
  void start() {
    books = tmp ? *tmp : Accounting{};
    if (flash) take_pending(&books, *flash, boot);
    cycle();
  }
  // /tmp emptied, another boot id, every link counting from 0 again.
  void reboot() {
    tmp.reset();
    copy_text(boot.data(), boot.size(), boot[0] == kBootA[0] ? kBootB : kBootA);
    for (auto& [name, link] : links) link = {link.ifindex};
  }

  std::map<std::string, Link> links{{"eth1", {3}}, {"wwan0", {4}}};
  std::string module = "eth1";
  BootId boot = boot_of(kBootA);
  bool readable = true;
  Traffic traffic, billed;
  Accounting books;
  std::optional<Accounting> tmp;
  std::optional<PendingTraffic> flash;

 private:
  static BootId boot_of(const char* text) {
    BootId id{};
    copy_text(id.data(), id.size(), text);
    return id;
  }
  std::optional<CounterSample> sampled() {
    if (!readable || !links.count(module)) return std::nullopt;
    CounterSample s;
    s.owner.boot_id = boot;
    copy_text(s.owner.interface.data(), s.owner.interface.size(), module.c_str());
    s.owner.ifindex = links[module].ifindex;
    s.tx = links[module].tx;
    s.rx = links[module].rx;
    return s;
  }
  long next_index = 10;
};

TEST(AccountingTest, EveryByteBilledOnceWhateverTheCountersDo) {
  struct Case {
    const char* what;
    std::function<void(Router&)> steps;
  } cases[] = {
      {"one counter restarts, the other goes on",
       [](Router& r) {
         r.carry(1000, 5000);
         r.cycle(true);
         r.carry(500, 2000);
         r.cycle(false);
         r.reset_counter(true, false);  // a driver reset, or a 32-bit counter that wrapped
         r.carry(40, 0);
       }},
      {"a counter that cannot be read for a cycle",
       [](Router& r) {
         r.carry(700, 900);
         r.cycle(true);
         r.carry(10, 20);
         r.readable = false;
         r.cycle(true);  // nothing is sent
         r.readable = true;
         r.carry(30, 40);
       }},
      {"the module unknown at start",
       [](Router& r) {
         r.carry(800, 300);
         r.cycle(true);
         r.carry(5, 6);
         r.stop();
         r.readable = false;  // a broken configuration names no module
         r.start();
         r.readable = true;
         r.carry(7, 8);
       }},
      {"the module switched in UCI and back",
       [](Router& r) {
         r.carry(1000, 1000);
         r.cycle(true);
         r.carry(50, 60);
         r.carry(9000, 9000, "wwan0");  // not the module's yet
         r.cycle(false);
         r.module = "wwan0";
         r.cycle(false);
         r.carry(70, 80);
         r.carry(4000, 4000, "eth1");  // not the module's now
         r.cycle(true);
         r.module = "eth1";
         r.cycle(false);
         r.carry(90, 100);
       }},
      {"a modem reset with refused reports pending, then a restart",
       [](Router& r) {
         r.carry(188949, 38059);
         r.cycle(true);
         r.carry(3000, 4000);
         r.cycle(false);
         r.cycle(false);
         r.recreate("eth1");
         r.carry(26900, 6292);
         r.cycle(false);
         r.stop();
         r.start();
         r.carry(100, 100);
       }},
      {"a reboot with refused reports pending, and a restart after it",
       [](Router& r) {
         r.carry(102520, 2958);
         r.cycle(true);
         r.carry(84990, 43944);
         r.cycle(false);
         r.stop();
         r.reboot();
         r.carry(500, 600);  // counted from 0 in the new boot
         r.start();
         r.carry(10, 10);
         r.stop();
         r.start();  // the same boot: flash is not taken twice
         r.carry(20, 20);
       }},
      {"a power cut after the carry was accepted",
       [](Router& r) {
         r.carry(1000, 2000);
         r.cycle(false);
         r.stop();
         r.reboot();
         r.start();
         r.carry(5, 5);
         r.cycle(true);  // the carry is billed, and flash forgets it
         r.carry(6, 6);
         r.cycle(false);
         r.reboot();  // no stop: the last six bytes each way were never kept
         r.traffic.tx -= 6;
         r.traffic.rx -= 6;
         r.start();
         r.carry(7, 7);
       }},
  };
  for (const auto& c : cases) {
    Router r;
    c.steps(r);
    r.cycle(true);
    EXPECT_EQ(r.billed.tx, r.traffic.tx) << c.what;
    EXPECT_EQ(r.billed.rx, r.traffic.rx) << c.what;
  }
}

// What a restart would read is never older than the last accepted report: with /tmp full, the
// state is written over the old file in place.
TEST(AccountingTest, FullTmpStillTakesTheNewState) {
  TempDir dir;
  pid_t child = fork();
  if (child == 0) {
    // A tmpfs of two pages in a mount namespace of the child's own.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=8k") != 0)
      _exit(77);
    std::string state = dir.path() + "/tolvu.state";
    accounting_set_state_file(state.c_str());
    Accounting books = sample();
    save_accounting(books);
    dir.write("filler", std::string(4096, 'x'));
    books.tx.baseline = books.tx.last;
    books.last_accepted += 240;
    std::string err = capture_output([&] { save_accounting(books); }).second;
    Accounting back;
    bool same = load_accounting(&back) == SavedFile::kLoaded && formatted(back) == formatted(books);
    bool said = err.find("Cannot replace the state in " + state +
                         ": No space left on device; "
                         "wrote it in place instead") == 0;
    _exit(same && said ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "needs root for a small tmpfs";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
