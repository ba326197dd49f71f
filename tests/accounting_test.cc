#include "report/accounting.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <type_traits>

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
  a.epoch = 0x00c0ffee12345678;
  a.seq = 42;
  copy_text(a.sim.data(), a.sim.size(), "8988211000000123456F");
  a.closed[0] = {{}, {1296, 4000}, 0x0123456789abcdef, 7};
  copy_text(a.closed[0].iccid.data(), a.closed[0].iccid.size(), "89441000303031011234");
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
            "last_error=Couldn't connect to server\noutage_since=0\nepoch=00c0ffee12345678\n"
            "seq=42\nhold_until=0\ninterval=0\nmoment=0\nspread=0\nmodule_digest=0\n"
            "sim=8988211000000123456F\nsim_closed1=89441000303031011234 1296 4000 "
            "0123456789abcdef 7\n");
  Accounting back;
  const char* problem = nullptr;
  ASSERT_TRUE(parse_accounting(text, &back, &problem)) << problem;
  EXPECT_EQ(problem, nullptr);
  EXPECT_EQ(formatted(back), text);
  // A newer version's extra keys are passed over.
  EXPECT_TRUE(parse_accounting(text + "signal=-71\n", &back, &problem));
  // Closed SIMs keep their order without the gaps a hand edit left: the oldest is reported first.
  std::string gap = text;
  gap.replace(gap.find("sim_closed1"), 11, "sim_closed3");
  ASSERT_TRUE(parse_accounting(gap, &back, &problem));
  EXPECT_EQ(formatted(back), text);
  // A trailing 'f' is read as the SIM reader gives it: the same SIM, not another.
  std::string lower = text;
  lower.replace(lower.find("123456F"), 7, "123456f");
  ASSERT_TRUE(parse_accounting(lower, &back, &problem));
  EXPECT_EQ(formatted(back), text);

  // Books with no owner yet (the module not seen in this boot), and every name the kernel allows.
  Accounting unowned;
  unowned.tx.carry = 34269;
  ASSERT_TRUE(parse_accounting(formatted(unowned), &back, &problem)) << problem;
  EXPECT_EQ(formatted(back), formatted(unowned));
  for (const char* name : {"lte#0", "modem!", "usb,0", "w\xc3\xa9", "a=b", "123456789012345"}) {
    Accounting named = sample();
    copy_text(named.owner.interface.data(), named.owner.interface.size(), name);
    ASSERT_TRUE(parse_accounting(formatted(named), &back, &problem)) << name << ": " << problem;
    EXPECT_STREQ(back.owner.interface.data(), name);
  }

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
      {with("interface=eth1", "interface=eth:1"), "holds a value out of range"},
      {with("interface=eth1", "interface=eth 1"), "holds a value out of range"},
      {with("interface=eth1", "interface=1234567890123456"), "holds a value out of range"},
      {with("interface=eth1", "interface="), "holds a value out of range"},  // a boot, no owner
      {with("epoch=00c0ffee12345678", "epoch=c0ffee"), "holds a value out of range"},
      {with("last_outcome=failed", "last_outcome=maybe"), "holds a value out of range"},
      {with("carry_from=recreated", "carry_from=x"), "holds a value out of range"},
      {with("version=2", "version=3"), "was written by another version"},
      {with("sim=8988211000000123456F", "sim=89882110000001234"), "holds a value out of range"},
      {with(" 4000 ", " 4000  "), "holds a value out of range"},
      {with(" 7\n", " 7 8\n"), "holds a value out of range"},
      {with("=89441000303031011234 ", "=8944100030303101123x "), "holds a value out of range"},
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

// A management server that follows the report identity's rule: a new epoch or a later report in
// full, the same report again only by what it grew, an older one not at all.
struct Ledger {
  uint64_t epoch = 0, seq = 0;
  Traffic last, billed;
  void receive(uint64_t report_epoch, uint64_t report_seq, const Traffic& figures) {
    if (report_epoch == epoch && report_seq < seq) return;
    bool again = report_epoch == epoch && report_seq == seq;
    billed.tx += again && figures.tx < last.tx ? 0 : figures.tx - (again ? last.tx : 0);
    billed.rx += again && figures.rx < last.rx ? 0 : figures.rx - (again ? last.rx : 0);
    epoch = report_epoch;
    seq = report_seq;
    last = figures;
  }
};

enum class Reply { kAccepted, kRefused, kLost };

// A router's links and the service's books, with the files the books live in: the state in /tmp
// (gone at a reboot) and the pending traffic on flash, both kept as the text the service writes.
// Every byte that crosses the module's link while it is the module must be billed exactly once by
// a server that follows the report identity's rule, even when its replies are lost.
class Router {
 public:
  Router() { books = resume_books(std::nullopt, std::nullopt, boot, next_epoch++).books; }

  struct Link {
    long ifindex;
    uint64_t tx = 0, rx = 0;
  };

  // Traffic over a link (the module's by default); a 32-bit kernel's counters wrap at 2^32.
  void carry(uint64_t tx, uint64_t rx, const std::string& iface = "") {
    const std::string& name = iface.empty() ? module : iface;
    Link& link = links[name];
    link.tx += tx;
    link.rx += rx;
    if (kernel_32bit) {
      link.tx %= kCounter32;
      link.rx %= kCounter32;
    }
    if (name == module) {
      traffic.tx += tx;
      traffic.rx += rx;
    }
  }
  // A cycle: sample, then (when the counters could be read) a report the server answers.
  void cycle(Reply reply = Reply::kRefused) {
    std::optional<CounterSample> now = sampled();
    Measurement m = measure(books, now);
    books = m.next;
    if (now && reply != Reply::kRefused) ledger.receive(books.epoch, books.seq, m.due);
    if (now && reply == Reply::kAccepted) {
      accept_report(&books, 1);
      flash.clear();
    }
    save(books, &tmp);
  }
  void reset_counter(bool tx, bool rx) {
    if (tx) links[module].tx = 0;
    if (rx) links[module].rx = 0;
  }
  // The interface goes (a modem reset): the kernel tells its final counters, though not a
  // veth's receive side, and it comes back with another index and counters from 0.
  void recreate(const std::string& iface, bool final = false, bool rx_told = true) {
    if (final && iface == books.owner.interface.data()) {
      std::optional<CounterSample> last = sampled();
      last->final = true;
      if (!rx_told) last->rx = 0;
      books = measure(books, last).next;
    }
    links[iface] = {next_index++};
  }
  // A clean stop: a last sample, the books saved, the pending traffic kept on flash.
  void stop() {
    cycle();
    Traffic pending = pending_traffic(books);
    if (pending.total() > 0) save(pending_of(books, boot, 1), &flash);
  }
  // A start, as the service takes its books back by the one rule, from what its files hold.
  void start() {
    std::optional<Accounting> state;
    std::optional<PendingTraffic> pending;
    const char* problem = nullptr;
    if (!tmp.empty() && !parse_accounting(tmp, &state.emplace(), &problem)) state.reset();
    EXPECT_EQ(problem, nullptr) << tmp;
    if (!flash.empty() && !parse_pending(flash, &pending.emplace(), &problem)) pending.reset();
    EXPECT_EQ(problem, nullptr) << flash;
    books = resume_books(state, pending, boot, next_epoch++).books;
    cycle();
  }
  // /tmp emptied, another boot id, every link counting from 0 again.
  void reboot() {
    tmp.clear();
    copy_text(boot.data(), boot.size(), boot[0] == kBootA[0] ? kBootB : kBootA);
    for (auto& [name, link] : links) link = {link.ifindex};
  }

  std::map<std::string, Link> links{{"eth1", {3}}, {"wwan0", {4}}};
  std::string module = "eth1";
  BootId boot = boot_of(kBootA);
  bool readable = true, boot_readable = true, kernel_32bit = false, returned = false;
  Traffic traffic;
  Ledger ledger;
  Accounting books;
  std::string tmp, flash;

 private:
  static BootId boot_of(const char* text) {
    BootId id{};
    copy_text(id.data(), id.size(), text);
    return id;
  }
  template <typename Record>
  static void save(const Record& record, std::string* file) {
    char text[kMaxStateSize];
    bool written = false;
    if constexpr (std::is_same_v<Record, Accounting>)
      written = format_accounting(record, text, sizeof(text));
    else
      written = format_pending(record, text, sizeof(text));
    ASSERT_TRUE(written);
    *file = text;
  }
  // What sample_counters gives: nothing without the counters or without the boot's id.
  std::optional<CounterSample> sampled() {
    if (!readable || !boot_readable || !links.count(module)) return std::nullopt;
    CounterSample s;
    s.owner.boot_id = boot;
    copy_text(s.owner.interface.data(), s.owner.interface.size(), module.c_str());
    s.owner.ifindex = links[module].ifindex;
    s.tx = links[module].tx;
    s.rx = links[module].rx;
    s.kernel_32bit = kernel_32bit;
    s.returned = returned;
    return s;
  }
  long next_index = 10;
  uint64_t next_epoch = 0x1000;
};

TEST(AccountingTest, EveryByteBilledOnceWhateverTheCountersDo) {
  struct Case {
    const char* what;
    std::function<void(Router&)> steps;
  } cases[] = {
      {"one counter restarts, the other goes on",
       [](Router& r) {
         r.carry(1000, 5000);
         r.cycle(Reply::kAccepted);
         r.carry(500, 2000);
         r.cycle();
         r.reset_counter(true, false);  // a driver reset on a 64-bit kernel
         r.carry(40, 0);
       }},
      {"a 32-bit counter wraps, twice, with a report refused between",
       [](Router& r) {
         r.kernel_32bit = true;
         r.carry(kCounter32 - 1000, 70);
         r.cycle(Reply::kAccepted);
         r.carry(3000, 30);  // past 2^32: the counter reads 2000
         r.cycle();
         r.carry(kCounter32 - 100, 5);
         r.cycle(Reply::kAccepted);
         r.reset_counter(false, true);  // a 32-bit kernel cannot tell this from a wrap
         r.traffic.rx += kCounter32 - r.books.rx.last;
       }},
      {"a counter that cannot be read for a cycle, and a boot id that cannot be read",
       [](Router& r) {
         r.carry(700, 900);
         r.cycle(Reply::kAccepted);
         r.carry(10, 20);
         r.readable = false;
         r.cycle(Reply::kAccepted);  // nothing is sent
         r.readable = true;
         r.boot_readable = false;  // not a reboot, nor a return from one
         r.cycle(Reply::kAccepted);
         r.carry(5, 5);
         r.cycle(Reply::kAccepted);
         r.boot_readable = true;
         r.carry(30, 40);
       }},
      {"the module unknown at start",
       [](Router& r) {
         r.carry(800, 300);
         r.cycle(Reply::kAccepted);
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
         r.cycle(Reply::kAccepted);
         r.carry(50, 60);
         r.carry(9000, 9000, "wwan0");  // not the module's yet
         r.cycle();
         r.module = "wwan0";
         r.cycle();
         r.carry(70, 80);
         r.carry(4000, 4000, "eth1");  // not the module's now
         r.cycle(Reply::kAccepted);
         r.module = "eth1";
         r.cycle();
         r.carry(90, 100);
       }},
      {"a modem reset with refused reports pending, then a restart",
       [](Router& r) {
         r.carry(188949, 38059);
         r.cycle(Reply::kAccepted);
         r.carry(3000, 4000);
         r.cycle();
         r.cycle();
         r.recreate("eth1");
         r.carry(26900, 6292);
         r.cycle();
         r.stop();
         r.start();
         r.carry(100, 100);
       }},
      {"a modem reset told by the kernel: nothing lost after the last sample",
       [](Router& r) {
         r.carry(5000, 6000);
         r.cycle();
         r.carry(2870, 1026);  // after the last sample
         r.recreate("eth1", true);
         r.carry(300, 400);
         r.cycle(Reply::kAccepted);
         r.carry(11, 12);
         r.cycle();
         r.carry(13, 14);  // a veth tells no receive counter: that side's bytes are lost
         r.recreate("eth1", true, false);
         r.traffic.rx -= 14;
         r.carry(1, 1);
       }},
      {"a 32-bit counter wraps between the last sample and the deletion",
       [](Router& r) {
         r.kernel_32bit = true;
         r.carry(4294966000, 500);
         r.cycle(Reply::kAccepted);
         r.carry(2000, 100);  // past 2^32: the final counter reads 704
         r.recreate("eth1", true);
         r.carry(10, 10);
         r.cycle();
         r.carry(3, 4);  // a veth tells no receive counter, which is no wrap either
         r.recreate("eth1", true, false);
         r.traffic.rx -= 4;
       }},
      {"a modem reset, the modem back under another name",
       [](Router& r) {
         r.module = "wwan0";
         r.carry(1000, 2000);
         r.cycle(Reply::kAccepted);
         r.carry(300, 400);
         r.cycle();
         r.carry(50, 60);
         r.recreate("wwan0", true);
         r.links.erase("wwan0");
         r.links["wwan1"] = {21};
         r.module = "wwan1";
         r.returned = true;
         r.carry(400, 600);  // counted from 0, as a re-created interface is
         r.cycle();
         r.returned = false;
         r.carry(7, 8);
       }},
      {"a reboot with refused reports pending, and a restart after it",
       [](Router& r) {
         r.carry(102520, 2958);
         r.cycle(Reply::kAccepted);
         r.carry(84990, 43944);
         r.cycle();
         r.stop();
         r.reboot();
         r.carry(500, 600);  // counted from 0 in the new boot
         r.start();
         r.carry(10, 10);
         r.stop();
         r.start();  // the same boot: flash is not taken twice
         r.carry(20, 20);
       }},
      {"a reboot, and restarts before the module appears",
       [](Router& r) {
         r.carry(34269, 6751);
         r.cycle();
         r.stop();
         r.reboot();
         r.readable = false;  // the modem is still enumerating
         r.start();
         r.stop();
         r.start();
         r.stop();
         r.start();
         r.readable = true;
         r.carry(900, 800);
       }},
      {"the state lost in a boot whose books flash kept",
       [](Router& r) {
         r.carry(4000, 3000);
         r.cycle(Reply::kAccepted);
         r.carry(700, 600);
         r.stop();
         r.tmp.clear();
         r.carry(50, 40);
         r.start();
         r.carry(9, 8);
       }},
      {"a power cut after the carry was accepted",
       [](Router& r) {
         r.carry(1000, 2000);
         r.cycle();
         r.stop();
         r.reboot();
         r.start();
         r.carry(5, 5);
         r.cycle(Reply::kAccepted);  // the carry is billed, and flash forgets it
         r.carry(6, 6);
         r.cycle();
         r.reboot();  // no stop: the last six bytes each way were never kept
         r.traffic.tx -= 6;
         r.traffic.rx -= 6;
         r.start();
         r.carry(7, 7);
       }},
      {"lost replies, re-sent across a restart, a reboot through flash and a new epoch",
       [](Router& r) {
         r.carry(1000, 100);
         r.cycle(Reply::kLost);  // the server billed it; the router re-sends it grown
         r.carry(200, 20);
         r.cycle(Reply::kLost);
         r.carry(30, 3);
         r.cycle(Reply::kAccepted);
         r.carry(40, 4);
         r.cycle(Reply::kLost);
         r.stop();
         r.start();
         r.cycle(Reply::kLost);
         r.carry(50, 5);
         r.stop();
         r.reboot();  // the flash file goes on with the same report
         r.start();
         r.cycle(Reply::kLost);
         r.carry(60, 6);
         r.cycle(Reply::kAccepted);
         r.carry(70, 7);
         r.cycle(Reply::kAccepted);
         r.reboot();  // a power cut with nothing pending on flash: a new epoch
         r.start();
         r.carry(80, 8);
       }},
  };
  for (const auto& c : cases) {
    Router r;
    c.steps(r);
    r.cycle(Reply::kAccepted);
    EXPECT_EQ(r.ledger.billed.tx, r.traffic.tx) << c.what;
    EXPECT_EQ(r.ledger.billed.rx, r.traffic.rx) << c.what;
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

// A pending file that cannot be removed after its traffic was accepted (here a mount point, which
// no one can unlink or rename over) is made to hold nothing, so that no later boot takes it again.
TEST(AccountingTest, AcceptedFlashThatCannotBeRemovedHoldsNothing) {
  TempDir dir;
  pid_t child = fork();
  if (child == 0) {
    std::string pending = dir.write("pending", "version=1\n");
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount(pending.c_str(), pending.c_str(), nullptr, MS_BIND, nullptr) != 0)
      _exit(77);
    pending_set_file(pending.c_str());
    BootId boot{};
    copy_text(boot.data(), boot.size(), kBootA);
    auto [out, err] = capture_output([&] { EXPECT_FALSE(remove_pending(boot, 7)); });
    PendingTraffic left;
    bool emptied = load_pending(&left) == SavedFile::kLoaded && left.traffic.total() == 0 &&
                   left.written == 7 && strcmp(left.boot_id.data(), kBootA) == 0;
    _exit(emptied && err.find("Cannot remove " + pending) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "needs root for a bind mount";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
