#include "services/ide_manager.hpp"

#include "services/inspector.hpp"
#include "services/logging.hpp"

namespace corvane {

namespace {
logging::Logger ide_log() {
  static auto logger = logging::get_logger("business_layer.ide_manager");
  return logger;
}
}  // namespace

IDEProcessManager::IDEProcessManager(int server_port, int watchdog_port, std::string auth_token, int docs_port,
                                     const SettingsManager* settings)
    : server_port_(server_port),
      watchdog_port_(watchdog_port),
      auth_token_(std::move(auth_token)),
      docs_port_(docs_port),
      settings_(settings) {}

bool IDEProcessManager::start() {
  std::vector<std::string> argv;
  if (settings_) {
    auto cmd = settings_->get("ide.command");
    if (cmd.is_array()) {
      for (const auto& a : cmd.as_array())
        if (a.is_string()) argv.emplace_back(a.as_string());
    } else if (cmd.is_string()) {
      argv = split_command_line(std::string(cmd.as_string()));
    }
  }
  if (argv.empty()) {
    ide_log()->warn("No editor command configured (settings key ide.command)");
    return false;
  }
  auto env = process::environment_with({
      {"CORVANE_SERVER_PORT", std::to_string(server_port_)},
      {"CORVANE_WATCHDOG_PORT", std::to_string(watchdog_port_)},
      {"CORVANE_DOCS_PORT", std::to_string(docs_port_)},
      {"CORVANE_AUTH_TOKEN", auth_token_},
  });
  process::SpawnOptions options;
  options.env = &env;
  std::string error;
  child_ = process::spawn(argv, options, error).child;
  if (!child_) {
    ide_log()->error("Cannot start editor {}: {}", argv[0], error);
    return false;
  }
  ide_log()->info("Editor started (PID: {})", child_->pid());
  return true;
}

IDEProcessManager::~IDEProcessManager() { stop(); }

void IDEProcessManager::stop() {
  if (!child_) return;
  stop_process_group(*child_, 500);
  child_.reset();
}

bool IDEProcessManager::ensure_running() {
  if (child_ && child_->alive()) return true;
  return start();
}

bool IDEProcessManager::kill_and_restart() {
  if (child_) ide_log()->info("Stopping editor (PID: {})", child_->pid());
  stop();
  return start();
}

}  // namespace corvane
