// Helpers shared by the unit tests: scratch directories and files, captured output.
#pragma once

#include <functional>
#include <string>

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Writes content to name inside the directory (creating parent directories) and returns the path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);

// Runs fn with standard output and standard error captured; returns {stdout, stderr}.
template <typename Fn>
std::pair<std::string, std::string> capture_output(Fn fn);

std::string fixture(const std::string& name);

// Polls ready every 10 ms until it is true or timeout_ms have passed; returns its last answer.
bool wait_for(const std::function<bool()>& ready, int timeout_ms = 5000);

#include <gtest/gtest.h>

template <typename Fn>
std::pair<std::string, std::string> capture_output(Fn fn) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  fn();
  fflush(stdout);
  fflush(stderr);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  return {out, err};
}
