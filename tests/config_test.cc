#include "inputs/config.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "test_support.h"

namespace {

struct Lookup {
  const char* package;
  const char* section;
  const char* option;
  const char* expected;  // the field afterwards; fields start as "default"
  const char* error;     // what reaches standard error, "" for nothing
};

class ConfigTest : public testing::Test {
 protected:
  void SetUp() override {
    config_set_directory((std::string(TOLVU_TEST_DATA) + "/config").c_str());
  }
  void TearDown() override { config_set_directory(nullptr); }

  static std::pair<std::string, std::string> get(const char* package, const char* section,
                                                 const char* option) {
    ConfigField field{};
    snprintf(field.data(), field.size(), "%s", "default");
    std::string err = capture_output([&] { config_get(field, package, section, option); }).second;
    return {field.data(), err};
  }
  static void expect_all(const Lookup* lookups, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      const Lookup& l = lookups[i];
      auto [value, err] = get(l.package, l.section, l.option);
      EXPECT_EQ(value, l.expected) << l.package << "." << l.section << "." << l.option;
      EXPECT_EQ(err, l.error) << l.package << "." << l.section << "." << l.option;
    }
  }
};

// The settings the service reads, from a file laid out like the router's own.
TEST_F(ConfigTest, ReadsServiceSettings) {
  const Lookup lookups[] = {
      {"easycwmp", "@acs[0]", "periodic_interval", "600", ""},
      {"easycwmp", "@acs[0]", "bwpolling_interval", "240", ""},
      {"easycwmp", "bandwidth", "enabled", "1", ""},
      {"easycwmp", "@device[0]", "serial_number", "SN-0042", ""},
      {"easycwmp", "global", "host", "acme", ""},
      {"easycwmp", "@acs[1]", "periodic_interval", "default", ""},
      {"easycwmp", "nosuch", "host", "default", ""},
      {"easycwmp", "global", "nosuch", "default", ""},
  };
  expect_all(lookups, sizeof(lookups) / sizeof(lookups[0]));
}

TEST_F(ConfigTest, FollowsTheFileSyntax) {
  static const std::string kCut(127, 'x');  // the file holds 200
  const Lookup lookups[] = {
      {"syntax", "quoting", "double", "a \"quoted\" word", ""},
      {"syntax", "quoting", "single", "no \\escapes here", ""},
      {"syntax", "quoting", "joined", "abc", ""},
      {"syntax", "quoting", "escaped", "un quoted", ""},
      {"syntax", "quoting", "empty", "default", ""},
      {"syntax", "quoting", "spaced", "tabs\tand  spaces", ""},
      {"syntax", "quoting", "hash", "not # a comment", ""},
      {"syntax", "quoting", "cut", "value", ""},
      {"syntax", "quoting", "multiline", "first\nsecond", ""},
      {"syntax", "quoting", "replaced", "new", ""},
      {"syntax", "quoting", "noval", "default", ""},
      {"syntax", "quoting", "long", kCut.c_str(), ""},
      // A second block with the same name adds to the first section.
      {"syntax", "quoting", "added", "later", ""},
      {"crlf", "main", "value", "v", ""},
      {"crlf", "main", "quoted", "q", ""},
  };
  expect_all(lookups, sizeof(lookups) / sizeof(lookups[0]));
}

TEST_F(ConfigTest, JoinsListsAsUciGetPrintsThem) {
  const Lookup lookups[] = {
      {"syntax", "second", "dns", "1.1.1.1 9.9.9.9", ""},
      {"syntax", "second", "spaced", "'a b' it's", ""},
      {"syntax", "second", "converted", "first second", ""},
      {"syntax", "second", "back", "plain", ""},
  };
  expect_all(lookups, sizeof(lookups) / sizeof(lookups[0]));
}

TEST_F(ConfigTest, FindsSectionsByTypeAndIndex) {
  const Lookup lookups[] = {
      {"syntax", "@test[0]", "double", "a \"quoted\" word", ""},
      {"syntax", "@test[1]", "dns", "1.1.1.1 9.9.9.9", ""},
      {"syntax", "@test[2]", "last", "yes", ""},
      {"syntax", "@test[-1]", "last", "yes", ""},
      {"syntax", "@test[-3]", "double", "a \"quoted\" word", ""},
      {"syntax", "@test[3]", "last", "default", ""},
      {"syntax", "@test[-4]", "last", "default", ""},
      {"syntax", "@wifi-iface[0]", "name", "third", ""},
      {"syntax", "@[2]", "name", "third", ""},
      {"syntax", "@[-4]", "double", "a \"quoted\" word", ""},
  };
  expect_all(lookups, sizeof(lookups) / sizeof(lookups[0]));
}

TEST_F(ConfigTest, ReportsErrorsAndKeepsTheDefault) {
  const Lookup lookups[] = {
      {"nosuch", "a", "b", "default", "Uci: lookup error: Entry not found\n"},
      {"syntax", "@test", "last", "default", "Uci: lookup error: Invalid argument\n"},
      {"syntax", "@test[x]", "last", "default", "Uci: lookup error: Invalid argument\n"},
      {"syntax", "", "last", "default", "Uci: lookup error: Invalid argument\n"},
      {"syntax", "quoting", "", "default", "Uci: lookup error: Parse error\n"},
      {"unterminated", "a", "x", "default",
       "Uci: lookup error: Parse error (EOF with unterminated \") at line 3, byte 36\n"},
      {"early_option", "a", "x", "default",
       "Uci: lookup error: Parse error (option/list command found before the first section) at "
       "line 2, byte 1\n"},
      {"bad_name", "a", "x", "default",
       "Uci: lookup error: Parse error (invalid character in name field) at line 2, byte 17\n"},
      {"bad_command", "a", "x", "default",
       "Uci: lookup error: Parse error (invalid command) at line 2, byte 1\n"},
      // An error must not leave its description behind for the next one.
      {"nosuch", "a", "b", "default", "Uci: lookup error: Entry not found\n"},
  };
  expect_all(lookups, sizeof(lookups) / sizeof(lookups[0]));
}

// Many lookup errors in one long-running process stay one line each.
TEST_F(ConfigTest, RepeatedErrorsStayOneLine) {
  for (int i = 0; i < 300; ++i) {
    auto [value, err] = get("nosuch", "a", "b");
    ASSERT_EQ(err, "Uci: lookup error: Entry not found\n") << "after " << i << " errors";
  }
}

// An edit takes effect at the next lookup.
TEST_F(ConfigTest, ReadsTheFileOnEveryCall) {
  TempDir dir;
  config_set_directory(dir.path().c_str());
  dir.write("network", "config interface module\n\toption ifname eth1\n");
  EXPECT_EQ(get("network", "module", "ifname").first, "eth1");
  dir.write("network", "config interface module\n\toption ifname wwan0\n");
  EXPECT_EQ(get("network", "module", "ifname").first, "wwan0");

  // A parse is kept only once the clock is past the file's last change; an edit after it that
  // keeps the size and puts the mtime back is still seen.
  std::string path = dir.path() + "/network";
  struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  while (time(nullptr) <= st.st_ctim.tv_sec) usleep(10000);
  EXPECT_EQ(get("network", "module", "ifname").first, "wwan0");
  EXPECT_EQ(get("network", "module", "ifname").first, "wwan0");
  {
    std::fstream edit(path, std::ios::in | std::ios::out);
    edit.seekp(static_cast<std::streamoff>(strlen("config interface module\n\toption ifname ")));
    edit << "wwan7";
  }
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0);
  EXPECT_EQ(get("network", "module", "ifname").first, "wwan7");

  // What `uci set` staged in /tmp/.uci and nobody committed is not the configuration: the
  // lookup reads the committed file, as netifd does (libuci's own load would apply the change).
  std::string package = "tolvu_staged_" + std::to_string(getpid());
  dir.write(package, "config interface module\n\toption ifname eth1\n");
  mkdir("/tmp/.uci", 0700);
  std::string staged = "/tmp/.uci/" + package;
  std::ofstream(staged) << package << ".module.ifname='eth9'\n";
  EXPECT_EQ(get(package.c_str(), "module", "ifname").first, "eth1");
  unlink(staged.c_str());
}

}  // namespace
