#pragma once
// Helpers shared by the indexscout tests: test data paths, temporary directories, a log
// capture, and the local package-index server.
#include <spdlog/sinks/base_sink.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace indexscout::test {

// tests/indexscout in the source tree ($INDEXSCOUT_TEST_DIR, else next to this file).
std::filesystem::path test_dir();
// The interpreter that has python3-packaging ($INDEXSCOUT_TEST_PYTHON, else /usr/bin/python3).
std::string test_python();

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Writes `content` to path()/relative, creating folders.
  std::filesystem::path write(const std::string& relative, const std::string& content) const;

 private:
  std::filesystem::path path_;
};

// Records every formatted log line ("[logger] [level] message") while it is installed.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> lines() const;
  // Lines of the indexscout logger at `level` ("debug", "info", "warning", "error"), message only.
  std::vector<std::string> messages(const std::string& level) const;
  bool has(const std::string& level, const std::string& message) const;
  void clear();

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
};

// The local package-index server, started once per test process.
class IndexServer {
 public:
  static IndexServer& instance();
  int port() const { return port_; }
  // "http://127.0.0.1:<port>/<index>/simple/" and the matching JSON API pattern.
  std::string simple_url(const std::string& index) const;
  std::string api_pattern(const std::string& index) const;
  std::string base() const;
  // Paths requested since the last reset, in order.
  std::vector<std::string> requests() const;
  void reset_requests() const;

 private:
  IndexServer();
  ~IndexServer();
  std::string get(const std::string& path) const;
  int pid_ = -1;
  int port_ = 0;
  int stdin_fd_ = -1;
};

}  // namespace indexscout::test
