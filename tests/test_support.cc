#include "test_support.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

TempDir::TempDir() {
  char pattern[] = "/tmp/tolvu-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (!made) abort();
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
  std::string full = path_ + "/" + name;
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  std::ofstream(full, std::ios::binary) << content;
  return full;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string fixture(const std::string& name) {
  return std::string(TOLVU_TEST_DATA) + "/" + name;
}

bool wait_for(const std::function<bool()>& ready, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 10) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ready();
}
