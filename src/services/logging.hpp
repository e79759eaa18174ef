#pragma once
// Logger factory shared by the server and the package-index client.
//
// Every logger writes the same line format to the same sinks:
//   [YYYY-mm-dd HH:MM:SS.mmm] [logger name] [level] message
// to stderr and, when enabled, to a rotating file under ~/.corvane/logs/.
#include <spdlog/logger.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace corvane::logging {

using Logger = std::shared_ptr<spdlog::logger>;

// The shared logger of that name, created on first use.
Logger get_logger(const std::string& name);

// Parses "debug", "info", "warning" (or "warn"), "error"; nullopt-like false on anything else.
bool parse_level(std::string_view text, spdlog::level::level_enum& out);

struct Options {
  spdlog::level::level_enum level = spdlog::level::info;
  bool to_stderr = true;
  // Empty: no file. Otherwise the directory of the rotating log file.
  std::filesystem::path log_dir;
  std::string file_name = "switchyard.log";
};

// Applies to every existing logger and every later one. Safe to call again.
void configure(const Options& options);

void set_level(spdlog::level::level_enum level);
spdlog::level::level_enum level();

// Extra sinks (tests install one to assert log lines).
void add_sink(const spdlog::sink_ptr& sink);
void remove_sink(const spdlog::sink_ptr& sink);

// The line pattern used by every sink.
inline constexpr const char* kPattern = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] %v";

}  // namespace corvane::logging
