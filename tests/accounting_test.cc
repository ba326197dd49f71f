#include "report/accounting.h"

#include <string>

#include "common/resources.h"
#include "test_support.h"

namespace {

Accounting sample() {
  Accounting a;
  copy_text(a.owner.boot_id.data(), a.owner.boot_id.size(), "3f2a6c1e-0b1d-4c1a-9e2f-1a2b3c4d5e6f");
  copy_text(a.owner.interface.data(), a.owner.interface.size(), "eth1");
  a.owner.ifindex = 7;
  a.tx_baseline = UINT64_MAX;
  a.rx_baseline = 12345;
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
            "version=1\nboot_id=3f2a6c1e-0b1d-4c1a-9e2f-1a2b3c4d5e6f\ninterface=eth1\nifindex=7\n"
            "tx_baseline=18446744073709551615\nrx_baseline=12345\nlast_accepted=1796726467\n"
            "last_cycle=1796726707\nlast_outcome=failed\nlast_error=Couldn't connect to server\n");
  Accounting back;
  const char* problem = nullptr;
  ASSERT_TRUE(parse_accounting(text, &back, &problem)) << problem;
  EXPECT_EQ(problem, nullptr);
  EXPECT_EQ(formatted(back), text);
  // A newer version's extra keys are passed over.
  EXPECT_TRUE(parse_accounting(text + "signal=-71\n", &back, &problem));
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
      {good.substr(0, good.find("rx_baseline")), "is incomplete"},
      {"", "is incomplete"},
      {with("18446744073709551615", "18446744073709551616"), "holds a value out of range"},
      {with("rx_baseline=12345", "rx_baseline=-1"), "holds a value out of range"},
      {with("rx_baseline=12345", "rx_baseline=12 345"), "holds a value out of range"},
      {with("ifindex=7", "ifindex=2147483648"), "holds a value out of range"},
      {with("interface=eth1", "interface=../../etc"), "holds a value out of range"},
      {with("last_outcome=failed", "last_outcome=maybe"), "holds a value out of range"},
      {with("version=1", "version=2"), "was written by another version"},
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

}  // namespace
