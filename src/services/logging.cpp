#include "services/logging.hpp"
#include "services/platform.hpp"

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <mutex>
#include <unordered_map>

namespace corvane::logging {
namespace {

struct State {
  std::mutex mutex;
  std::shared_ptr<spdlog::sinks::dist_sink_mt> dist = std::make_shared<spdlog::sinks::dist_sink_mt>();
  spdlog::sink_ptr stderr_sink;
  spdlog::sink_ptr file_sink;
  std::unordered_map<std::string, Logger> loggers;
  spdlog::level::level_enum level = spdlog::level::info;

  State() {
    stderr_sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    stderr_sink->set_pattern(kPattern);
    dist->add_sink(stderr_sink);
  }
};

State& state() {
  static State* s = new State();  // never destroyed: loggers may be used during static teardown
  return *s;
}

}  // namespace

Logger get_logger(const std::string& name) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  auto it = s.loggers.find(name);
  if (it != s.loggers.end()) return it->second;
  auto logger = std::make_shared<spdlog::logger>(name, s.dist);
  logger->set_level(s.level);
  logger->flush_on(spdlog::level::warn);
  s.loggers.emplace(name, logger);
  return logger;
}

bool parse_level(std::string_view text, spdlog::level::level_enum& out) {
  if (text == "debug") out = spdlog::level::debug;
  else if (text == "info") out = spdlog::level::info;
  else if (text == "warning" || text == "warn") out = spdlog::level::warn;
  else if (text == "error") out = spdlog::level::err;
  else return false;
  return true;
}

void configure(const Options& options) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (!options.to_stderr && s.stderr_sink) {
    s.dist->remove_sink(s.stderr_sink);
    s.stderr_sink.reset();
  }
  if (s.file_sink) {
    s.dist->remove_sink(s.file_sink);
    s.file_sink.reset();
  }
  if (!options.log_dir.empty()) {
    try {
      std::filesystem::create_directories(options.log_dir);
      s.file_sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
          (options.log_dir / options.file_name).native(), 10 * 1024 * 1024, 5);
      s.file_sink->set_pattern(kPattern);
      s.dist->add_sink(s.file_sink);
    } catch (const std::exception& e) {
      // A log directory we cannot write must not stop the server; stderr still works.
      fprintf(stderr, "cannot open log file in %s: %s\n", platform::path_to_utf8(options.log_dir).c_str(), e.what());
    }
  }
  s.level = options.level;
  for (auto& [_, logger] : s.loggers) logger->set_level(s.level);
}

void set_level(spdlog::level::level_enum level) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.level = level;
  for (auto& [_, logger] : s.loggers) logger->set_level(level);
}

spdlog::level::level_enum level() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return s.level;
}

void add_sink(const spdlog::sink_ptr& sink) {
  sink->set_pattern(kPattern);
  state().dist->add_sink(sink);
}

void remove_sink(const spdlog::sink_ptr& sink) { state().dist->remove_sink(sink); }

}  // namespace corvane::logging
