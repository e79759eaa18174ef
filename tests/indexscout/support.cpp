#include "support.hpp"

#include "indexscout/http.hpp"
#include "indexscout/indexscout.hpp"
#include "services/logging.hpp"

#include <boost/json/parse.hpp>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

namespace indexscout::test {

std::filesystem::path test_dir() {
  if (const char* dir = std::getenv("INDEXSCOUT_TEST_DIR"); dir && *dir) return dir;
  return std::filesystem::path(__FILE__).parent_path();
}

std::string test_python() {
  if (const char* p = std::getenv("INDEXSCOUT_TEST_PYTHON"); p && *p) return p;
  return "/usr/bin/python3";
}

TempDir::TempDir() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate = std::filesystem::temp_directory_path() / ("indexscout-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::write(const std::string& relative, const std::string& content) const {
  std::filesystem::path p = path_ / relative;
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
  return p;
}

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::string> snapshot() {
    std::lock_guard lock(mutex_);
    return lines;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines.clear();
  }

 protected:
  std::vector<std::string> lines;

  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::string level(spdlog::level::to_string_view(msg.level).data(), spdlog::level::to_string_view(msg.level).size());
    lines.push_back("[" + std::string(msg.logger_name.data(), msg.logger_name.size()) + "] [" + level + "] " +
                    std::string(msg.payload.data(), msg.payload.size()));
  }
  void flush_() override {}
};

LogCapture::LogCapture() : sink_(std::make_shared<Sink>()) {
  corvane::logging::set_level(spdlog::level::debug);
  corvane::logging::add_sink(sink_);
}

LogCapture::~LogCapture() { corvane::logging::remove_sink(sink_); }

std::vector<std::string> LogCapture::lines() const { return sink_->snapshot(); }

std::vector<std::string> LogCapture::messages(const std::string& level) const {
  std::string prefix = "[";
  prefix.append(kLoggerName).append("] [").append(level).append("] ");
  std::vector<std::string> out;
  for (const std::string& line : lines())
    if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
  return out;
}

bool LogCapture::has(const std::string& level, const std::string& message) const {
  for (const std::string& m : messages(level))
    if (m == message) return true;
  return false;
}

void LogCapture::clear() { sink_->clear(); }

IndexServer& IndexServer::instance() {
  static IndexServer server;
  return server;
}

#ifdef _WIN32
// Under wine a Linux interpreter cannot be started and waited on by a Windows program:
// tests/windows/with_index.py starts the index server and names its port.
IndexServer::IndexServer() {
  const char* port = std::getenv("INDEXSCOUT_TEST_INDEX_PORT");
  if (!port || !*port) throw std::runtime_error("INDEXSCOUT_TEST_INDEX_PORT is not set (see tests/windows/with_index.py)");
  port_ = std::stoi(port);
}

IndexServer::~IndexServer() = default;
#else
IndexServer::IndexServer() {
  ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
  ::setenv("no_proxy", "127.0.0.1,localhost", 1);
  int in_pipe[2], out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  std::string python = test_python();
  std::string script = (test_dir() / "index_server.py").string();
  std::vector<char*> argv = {python.data(), script.data(), nullptr};
  int rc = ::posix_spawn(&pid_, python.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  if (rc != 0) throw std::runtime_error("cannot start the index server");
  stdin_fd_ = in_pipe[1];  // the server exits when this closes
  // The first line is "PORT <n>".
  std::string line;
  char c;
  while (::read(out_pipe[0], &c, 1) == 1 && c != '\n') line.push_back(c);
  ::close(out_pipe[0]);
  if (line.rfind("PORT ", 0) != 0) throw std::runtime_error("index server did not start: " + line);
  port_ = std::stoi(line.substr(5));
}

IndexServer::~IndexServer() {
  if (stdin_fd_ >= 0) ::close(stdin_fd_);
  if (pid_ > 0) {
    for (int i = 0; i < 50; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      ::usleep(20000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}
#endif

std::string IndexServer::base() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string IndexServer::simple_url(const std::string& index) const { return base() + "/" + index + "/simple/"; }

std::string IndexServer::api_pattern(const std::string& index) const {
  return base() + "/" + index + "/pypi/{package_name}/{version}/json";
}

std::string IndexServer::get(const std::string& path) const {
  auto session = http::Session::create();
  http::Request request;
  request.url = base() + path;
  http::Response response = session->get(request);
  if (response.status != 200) throw std::runtime_error("index server control request failed: " + path);
  return response.body;
}

std::vector<std::string> IndexServer::requests() const {
  std::vector<std::string> out;
  const boost::json::value doc = boost::json::parse(get("/_requests"));
  for (const auto& v : doc.as_array()) out.emplace_back(v.as_string());
  return out;
}

void IndexServer::reset_requests() const { get("/_reset"); }

}  // namespace indexscout::test
