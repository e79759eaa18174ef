#include "services/inspector.hpp"

#include "services/logging.hpp"


namespace corvane {

namespace {
logging::Logger inspector_log() {
  static auto logger = logging::get_logger("business_layer.inspector_launcher");
  return logger;
}

std::vector<std::string> strings_of(const boost::json::value& v) {
  std::vector<std::string> out;
  if (v.is_array()) {
    for (const auto& item : v.as_array())
      if (item.is_string()) out.emplace_back(item.as_string());
  } else if (v.is_string()) {
    out = split_command_line(std::string(v.as_string()));
  }
  return out;
}
}  // namespace

std::vector<std::string> split_command_line(const std::string& text) {
  std::vector<std::string> out;
  std::string current;
  bool in_word = false;
  char quote = 0;
  for (char c : text) {
    if (quote) {
      if (c == quote) quote = 0;
      else current += c;
    } else if (c == '\'' || c == '"') {
      quote = c;
      in_word = true;
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) out.push_back(std::move(current));
      current.clear();
      in_word = false;
    } else {
      current += c;
      in_word = true;
    }
  }
  if (in_word) out.push_back(std::move(current));
  return out;
}

void stop_process_group(process::Child& child, int grace_ms) {
  if (!child.alive()) return;
  if (child.terminate_tree()) child.terminate();
  if (!child.wait_for(grace_ms)) {
    if (child.kill_tree()) child.kill();
    child.wait_for(1000);
  }
}

void InspectorLauncher::configure(std::vector<std::string> command, bool disabled, const SettingsManager* settings,
                                  std::vector<std::string> default_command) {
  command_ = std::move(command);
  default_command_ = std::move(default_command);
  disabled_ = disabled;
  settings_ = settings;
}

bool InspectorLauncher::launch_inspector(int port) {
  if (disabled_) {
    inspector_log()->info("Inspector disabled by configuration");
    return false;
  }
  std::vector<std::string> argv = command_;
  if (argv.empty() && settings_) argv = strings_of(settings_->get("inspector.command"));
  if (argv.empty()) argv = default_command_;
  if (argv.empty()) {
    inspector_log()->info("No inspector command configured");
    return false;
  }
  for (auto& a : argv) {
    for (size_t pos; (pos = a.find("{port}")) != std::string::npos;) a.replace(pos, 6, std::to_string(port));
  }
  auto env = process::environment_with({{"CORVANE_SERVER_PORT", std::to_string(port)}});
  process::SpawnOptions options;
  options.env = &env;
  std::string error;
  child_ = process::spawn(argv, options, error).child;
  if (!child_) {
    inspector_log()->error("Cannot start inspector {}: {}", argv[0], error);
    return false;
  }
  inspector_log()->info("Inspector started (PID: {})", child_->pid());
  return true;
}

void InspectorLauncher::terminate_inspector() {
  if (!child_) return;
  stop_process_group(*child_, 1000);
  child_.reset();
}

}  // namespace corvane
