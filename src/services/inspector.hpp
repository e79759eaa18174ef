#pragma once
// Starts and stops the code-inspector service, a separate process that connects back to the
// server as client "inspector/main".
#include "services/process.hpp"
#include "services/settings.hpp"

#include <memory>
#include <string>
#include <vector>

namespace corvane {

class InspectorLauncher {
 public:
  // `command`: argv of the service; "{port}" in any argument is replaced by the server port.
  // Empty: the settings key "inspector.command" (a list of strings or one command line) is
  // used, if set; else `default_command`.
  void configure(std::vector<std::string> command, bool disabled, const SettingsManager* settings,
                 std::vector<std::string> default_command = {});

  // True when the service was started.
  bool launch_inspector(int port);
  // Stops the service (SIGTERM to its group, SIGKILL after a grace period).
  void terminate_inspector();

  std::shared_ptr<process::Child> child() const { return child_; }

 private:
  std::vector<std::string> command_;
  std::vector<std::string> default_command_;
  bool disabled_ = false;
  const SettingsManager* settings_ = nullptr;
  std::shared_ptr<process::Child> child_;
};

// Splits a command line at white space; single and double quotes group words.
std::vector<std::string> split_command_line(const std::string& text);

// Stops a child started in its own group: SIGTERM to the group, then SIGKILL after `grace_ms`.
void stop_process_group(process::Child& child, int grace_ms);

}  // namespace corvane
