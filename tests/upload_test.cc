#include "report/upload.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/signals.h"
#include "inputs/config.h"
#include "inputs/gateway.h"
#include "inputs/interface.h"
#include "report/cycle.h"
#include "report/human_size.h"
#include "test_support.h"

namespace {

TEST(AcceptanceTest, NeedsTheMarkerAndOneMoreCharacter) {
  struct Case {
    const char* reply;
    bool accepted;
  } cases[] = {
      {"ACCEPTED", true},
      {"status: ACCEPTED\n", true},
      {"ACCEPTE", false},
      {"ACCEPTEx", true},
      {"xxACCEPTE", false},
      {"accepted", false},
      {"", false},
      {"ACCEPT", false},
      {"ACCEPTEACCEPTE", true},
  };
  for (const auto& c : cases) EXPECT_EQ(reply_accepted(c.reply), c.accepted) << c.reply;
}

TEST(ReplyCollectorTest, CollectsChunksUpToTheLimit) {
  response_buffer reply{static_cast<char*>(calloc(1, 1)), 0};
  char no[] = "no";
  char marker[] = "\0ACCEPTED";
  EXPECT_EQ(write_response(no, 1, 2, &reply), 2u);
  EXPECT_EQ(write_response(marker, 1, sizeof(marker) - 1, &reply), sizeof(marker) - 1);
  EXPECT_EQ(reply.size, 11u);
  EXPECT_FALSE(reply_accepted(reply.data));  // the text ends at the NUL

  std::vector<char> block(kMaxReplySize - reply.size, 'x');
  EXPECT_EQ(write_response(block.data(), 1, block.size(), &reply), block.size());
  EXPECT_EQ(write_response(no, 1, 1, &reply), 0u);  // one byte past 64 KiB
  EXPECT_EQ(reply.size, kMaxReplySize);
  EXPECT_EQ(reply.data[reply.size], '\0');
  EXPECT_EQ(write_response(no, SIZE_MAX / 2, 4, &reply), 0u);  // size overflow
  free_response(&reply);
  EXPECT_EQ(reply.data, nullptr);
  EXPECT_EQ(reply.size, 0u);
  free_response(&reply);

  // A collector whose block was already released starts a fresh one.
  EXPECT_EQ(write_response(no, 2, 1, &reply), 2u);
  EXPECT_STREQ(reply.data, "no");
  free_response(&reply);
}

TEST(HumanSizeTest, ScalesBy1024InSinglePrecision) {
  struct Case {
    uint64_t count;
    const char* text;
  } cases[] = {
      {0, "0.00 B"},
      {1023, "1023.00 B"},
      {1024, "1.00 KB"},
      {1536, "1.50 KB"},
      {(1u << 20) - 1, "1024.00 KB"},
      {1u << 20, "1.00 MB"},
      {5ull << 30, "5.00 GB"},
      {1ull << 40, "1024.00 GB"},
      {(1u << 24) + 1, "16.00 MB"},
      {UINT64_MAX, "17179869184.00 GB"},
  };
  for (const auto& c : cases) EXPECT_STREQ(human_size(c.count).text, c.text) << c.count;
}

TEST(ServerAddressTest, OnlyHostNameCharactersReachTheAddress) {
  struct Case {
    const char* id;
    bool valid;
  } cases[] = {
      {"acme", true}, {"acme-2.eu", true}, {"", true},      {"x@elsewhere.example/", false},
      {"a b", false}, {"a/b", false},      {"a:1", false},  {"a?x", false},
      {"a#", false},  {"ä", false},        {"a\\b", false},
  };
  for (const auto& c : cases) EXPECT_EQ(installer_id_valid(c.id), c.valid) << c.id;

  UploadTarget target;
  char address[1024];
  ASSERT_TRUE(form_server_address(address, sizeof(address), "acme", target));
  EXPECT_EQ(std::string(address), "https://acme." TOLVU_MANAGEMENT_DOMAIN ":8090/bandwidth.php");
  ASSERT_TRUE(form_server_address(address, sizeof(address), "", target));
  EXPECT_EQ(std::string(address), "https://." TOLVU_MANAGEMENT_DOMAIN ":8090/bandwidth.php");
  char small[16];
  EXPECT_FALSE(form_server_address(small, sizeof(small), "acme", target));
}

// The reference management server, with a test CA, on a free loopback port.
class UploadTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new TempDir;
    other_pki_ = new TempDir;
    make_pki(pki_->path(), "acme.localhost");
    make_pki(other_pki_->path(), "acme.localhost");
  }
  static void TearDownTestSuite() {
    delete pki_;
    delete other_pki_;
  }
  static void make_pki(const std::string& dir, const std::string& host) {
    std::string command = std::string("/usr/bin/python3 ") + TOLVU_TEST_SERVER + " pki " + dir +
                          " " + host + " >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  void SetUp() override {
    verbose = 1;
    std::string port_file = run_.path() + "/port";
    server_ = fork();
    if (server_ == 0) {
      std::string cert = pki_->path() + "/server.pem", key = pki_->path() + "/server.key";
      std::string log = run_.path() + "/requests.log", plan = run_.path() + "/plan.json";
      execl("/usr/bin/python3", "python3", TOLVU_TEST_SERVER, "serve", "--cert", cert.c_str(),
            "--key", key.c_str(), "--port-file", port_file.c_str(), "--log", log.c_str(), "--plan",
            plan.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    wait_for([&] { return !read_file(port_file).empty(); });
    port_ = atoi(read_file(port_file).c_str());
    ASSERT_GT(port_, 0) << "the test server did not start";
    ca_dir_ = pki_->path() + "/certs";
    target_.domain = "localhost";
    target_.port = port_;
    target_.ca_directory = ca_dir_.c_str();
    target_.connect_timeout = 5;
    target_.timeout = 3;
    upload_set_target(&target_);
  }
  void TearDown() override {
    upload_set_target(nullptr);
    kill(server_, SIGKILL);
    waitpid(server_, nullptr, 0);
  }

  void plan(const std::string& json) { run_.write("plan.json", json); }
  std::string requests() { return read_file(run_.path() + "/requests.log"); }

  struct Upload {
    bool accepted;
    ReportOutcome outcome;
    std::string detail, out, err;
  };
  Upload upload(const char* body = "serial=SN1&bw_tot=3&bw_dn=2&bw_up=1",
                const char* installer = "acme") {
    UploadResult result;
    auto [out, err] = capture_output([&] { result = upload_report(body, installer, TlsFiles{}); });
    return {result.outcome == ReportOutcome::kAccepted, result.outcome, result.detail.data(), out,
            err};
  }

  static TempDir* pki_;
  static TempDir* other_pki_;
  TempDir run_;
  pid_t server_ = -1;
  int port_ = 0;
  std::string ca_dir_;
  UploadTarget target_;
};

TempDir* UploadTest::pki_ = nullptr;
TempDir* UploadTest::other_pki_ = nullptr;

TEST_F(UploadTest, PostsTheReportAndReadsTheVerdict) {
  plan(R"({"requests": [{"reply": "ACCEPTED"}, {"reply": "REFUSED"},
                        {"status": 500, "reply": "error, ACCEPTED anyway"},
                        {"drop": true, "reply": "ACCEPTED, ACCEPTED"}]})");
  Upload accepted = upload();
  EXPECT_TRUE(accepted.accepted);
  EXPECT_EQ(accepted.out,
            "update_bandwidth: 8 bytes retrieved\nbandwidth ACCEPTED\nupdate_accepted 1\n");
  EXPECT_EQ(accepted.err, "");

  Upload refused = upload();
  EXPECT_EQ(refused.outcome, ReportOutcome::kRefused);
  EXPECT_EQ(refused.out, "update_bandwidth: 7 bytes retrieved\nbandwidth REFUSED\n");

  EXPECT_TRUE(upload().accepted);  // the status code is not looked at
  // A reply cut short after the marker: the server accepted, whatever became of the rest.
  Upload cut = upload();
  EXPECT_TRUE(cut.accepted);
  EXPECT_EQ(cut.err, "");

  std::string log = requests();
  EXPECT_NE(log.find("\"method\": \"POST\", \"path\": \"/bandwidth.php\""), std::string::npos)
      << log;
  EXPECT_NE(log.find("\"Host\": \"acme.localhost:" + std::to_string(port_) + "\""),
            std::string::npos);
  EXPECT_NE(log.find("\"User-Agent\": \"oxel-agent/1.0\""), std::string::npos);
  EXPECT_NE(log.find("\"Content-Type\": \"application/x-www-form-urlencoded\""), std::string::npos);
  EXPECT_NE(log.find("\"body\": \"serial=SN1&bw_tot=3&bw_dn=2&bw_up=1\""), std::string::npos);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4);
}

// A reply that refuses for a reason other than the figures (a web server's error page) is
// explained in one line, once until it changes; a plain refusal says nothing more.
TEST_F(UploadTest, RefusalsAreExplained) {
  plan(R"({"requests": [
    {"status": 400, "reply": "<html>\r\n<head><title>400 No required SSL certificate was sent</title></head>\r\n<body>x</body></html>"},
    {"status": 400, "reply": "<html><head><title>400 No required SSL certificate was sent</title>"},
    {"reply": "REFUSED"},
    {"status": 503, "reply": "  busy,\n\tcome back\u0001later  "},
    {"status": 404, "reply": ""}]})");
  const std::string kCert = "The server answered 400: 400 No required SSL certificate was sent";
  struct Case {
    std::string err, detail;
  } cases[] = {
      {kCert + "\n", kCert},
      {"", kCert},  // said once until it changes
      {"", ""},     // a plain refusal
      {"The server answered 503: busy, come back later\n",
       "The server answered 503: busy, come back later"},
      {"The server answered 404 with an empty reply\n",
       "The server answered 404 with an empty reply"},
  };
  for (const auto& c : cases) {
    Upload u = upload();
    EXPECT_EQ(u.outcome, ReportOutcome::kRefused);
    EXPECT_EQ(u.err, c.err);
    EXPECT_EQ(u.detail, c.detail);
  }
  char out[128];
  EXPECT_FALSE(explain_refusal(200, "REFUSED", out, sizeof(out)));
  ASSERT_TRUE(explain_refusal(400, "<TITLE>Bad</TITLE>", out, sizeof(out)));
  EXPECT_STREQ(out, "The server answered 400: Bad");
}

// A 429 or 503 may ask for time, in seconds or as an HTTP date; other statuses may not, and the
// marker alone still decides acceptance.
TEST_F(UploadTest, RetryAfterAsksForTimeOn429And503) {
  char date[64];
  time_t later = time(nullptr) + 60;
  struct tm gmt;
  strftime(date, sizeof(date), "%a, %d %b %Y %H:%M:%S GMT", gmtime_r(&later, &gmt));
  plan(std::string(R"({"requests": [
    {"status": 503, "reply": "busy", "headers": {"Retry-After": "120"}},
    {"status": 429, "reply": "slow down", "headers": {"Retry-After": ")") +
       date + R"("}},
    {"status": 500, "reply": "oops", "headers": {"Retry-After": "120"}},
    {"status": 503, "reply": "busy"},
    {"status": 503, "reply": "ACCEPTED", "headers": {"Retry-After": "30"}}]})");
  struct Case {
    ReportOutcome outcome;
    int64_t low, high;
  } cases[] = {
      {ReportOutcome::kRefused, 120, 120}, {ReportOutcome::kRefused, 58, 61},
      {ReportOutcome::kRefused, 0, 0},     {ReportOutcome::kRefused, 0, 0},
      {ReportOutcome::kAccepted, 30, 30},
  };
  for (const auto& c : cases) {
    UploadResult result;
    capture_output([&] { result = upload_report("serial=SN1", "acme", TlsFiles{}); });
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_GE(result.retry_after, c.low);
    EXPECT_LE(result.retry_after, c.high);
  }
}

// A stop that lands after the server accepted, while the connection is still open: the report is
// accepted all the same, and the transfer ends at once.
TEST_F(UploadTest, AStopAfterTheVerdictKeepsIt) {
  install_signal_handlers();
  plan(R"({"default": {"reply": "ACCEPTED", "linger": 5}})");
  std::thread stopper([&] {
    wait_for([&] { return !requests().empty(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(getpid(), SIGTERM);
  });
  auto started = std::chrono::steady_clock::now();
  Upload u = upload();
  stopper.join();
  EXPECT_TRUE(u.accepted);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  reset_signal_requests();
}

TEST_F(UploadTest, EveryFailureIsReportedAndRefused) {
  struct Case {
    const char* what;
    const char* plan;
    const char* installer;
    bool other_ca;
    const char* error;
  } cases[] = {
      {"stall", R"({"default": {"stall": true}})", "acme", false, "Timeout was reached"},
      {"oversized reply", R"({"default": {"oversize": 100000}})", "acme", false,
       "Failed writing received data to disk/application"},
      {"dropped mid-reply", R"({"default": {"drop": true, "reply": "REFUSED REFUSED"}})", "acme",
       false, "Transferred a partial file"},
      {"untrusted certificate", "{}", "acme", true,
       "SSL peer certificate or SSH remote key was not OK"},
      {"certificate for another host", "{}", "other", false,
       "SSL peer certificate or SSH remote key was not OK"},
  };
  std::string other_ca = other_pki_->path() + "/certs";
  for (const auto& c : cases) {
    plan(c.plan);
    target_.ca_directory = c.other_ca ? other_ca.c_str() : ca_dir_.c_str();
    Upload u = upload("serial=x&bw_tot=0&bw_dn=0&bw_up=0", c.installer);
    EXPECT_EQ(u.outcome, ReportOutcome::kFailed) << c.what;
    EXPECT_EQ(u.detail, c.error) << c.what;
    EXPECT_EQ(u.err, std::string("curl_easy_perform() failed: ") + c.error + "\n") << c.what;
    EXPECT_EQ(u.out, "") << c.what;
  }

  kill(server_, SIGKILL);
  waitpid(server_, nullptr, 0);
  Upload down = upload();
  EXPECT_FALSE(down.accepted);
  EXPECT_EQ(down.err, "curl_easy_perform() failed: Couldn't connect to server\n");
}

TEST_F(UploadTest, RejectedInstallerIdSendsNothing) {
  Upload u = upload("serial=x", "x@elsewhere.example/");
  EXPECT_EQ(u.outcome, ReportOutcome::kFailed);
  EXPECT_EQ(u.err, "Installer ID may hold only letters, digits, '-' and '.'; report not sent\n");
  EXPECT_EQ(requests(), "");
}

// The whole cycle against the server: only accepted reports move the baselines.
TEST_F(UploadTest, CycleReportsEndToEnd) {
  TempDir router;
  router.write(
      "config/easycwmp",
      "config device\n\toption serial_number 'SN 7'\nconfig local global\n\toption host acme\n");
  router.write("config/network", "config interface module\n\toption ifname eth1\n");
  router.write("route", "Iface\tDestination\neth1\t00000000\t0101A8C0\t0003\n");
  router.write("net/eth1/statistics/tx_bytes", "1536\n");
  router.write("net/eth1/statistics/rx_bytes", "16777217\n");
  router.write("net/eth1/ifindex", "3\n");
  router.write("boot_id", "3f2a6c1e-0b1d-4c1a-9e2f-1a2b3c4d5e6f\n");
  config_set_directory((router.path() + "/config").c_str());
  gateway_set_route_table((router.path() + "/route").c_str());
  gateway_set_route_table6((router.path() + "/ipv6_route").c_str());
  interface_set_directory((router.path() + "/net").c_str());
  boot_id_set_file((router.path() + "/boot_id").c_str());
  accounting_set_state_file((router.path() + "/tolvu.state").c_str());
  accounting = Accounting{};
  cycle_set_sender(nullptr);  // the real upload, also after a test replaced it

  plan(R"({"requests": [{"reply": "NO"}, {"reply": "ACCEPTED\n"}]})");
  std::string out = capture_output([] { update_bandwidth(); }).first;
  EXPECT_NE(out.find("Bandwidth Calc: tx: 1536 rx: 16777217 txdiff: 1536 rxdiff: 16777217 "
                     "total: 16778753\n"
                     "Bandwidth Calc (H): tx: 1.50 KB rx: 16.00 MB txdiff: 1.50 KB "
                     "rxdiff: 16.00 MB total: 16.00 MB\n"
                     "Bandwidth Command: serial=SN%207&bw_tot=16778753&bw_dn=16777217&bw_up=1536\n"
                     "update_bandwidth: 2 bytes retrieved\nbandwidth NO\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(accounting.tx.baseline, 0u);
  capture_output([] { update_bandwidth(); });
  EXPECT_EQ(accounting.tx.baseline, 1536u);
  EXPECT_EQ(accounting.rx.baseline, 16777217u);
  EXPECT_NE(read_file(router.path() + "/tolvu.state").find("last_outcome=accepted\n"),
            std::string::npos);

  config_set_directory(nullptr);
  gateway_set_route_table(nullptr);
  gateway_set_route_table6(nullptr);
  interface_set_directory(nullptr);
  boot_id_set_file(nullptr);
  accounting_set_state_file(nullptr);
}

}  // namespace
