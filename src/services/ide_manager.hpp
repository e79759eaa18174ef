#pragma once
// Supervises the code-editor application: starts it on demand, kills and restarts it.
// The editor's command is the settings key "ide.command", a list of argv strings.
#include "services/process.hpp"
#include "services/settings.hpp"

#include <memory>
#include <string>

namespace corvane {

class IDEProcessManager {
 public:
  IDEProcessManager(int server_port, int watchdog_port, std::string auth_token, int docs_port,
                    const SettingsManager* settings);

  // True when the editor runs afterwards (started if it was not); false when it cannot start.
  bool ensure_running();
  // True when the running editor was stopped and a new one started.
  bool kill_and_restart();

  int server_port() const { return server_port_; }
  int watchdog_port() const { return watchdog_port_; }
  int docs_port() const { return docs_port_; }

 private:
  bool start();

  int server_port_;
  int watchdog_port_;
  std::string auth_token_;
  int docs_port_;
  const SettingsManager* settings_;
  std::shared_ptr<process::Child> child_;
};

}  // namespace corvane
