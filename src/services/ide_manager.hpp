#pragma once
// Supervises the code-editor application: starts it on demand, kills and restarts it.
// The editor's command is the settings key "ide.command", a list of argv strings (one command
// line is split at white space). It runs as the leader of its own process group, with the
// ports and the token in its environment: CORVANE_SERVER_PORT, CORVANE_WATCHDOG_PORT,
// CORVANE_DOCS_PORT and CORVANE_AUTH_TOKEN.
#include "services/process.hpp"
#include "services/settings.hpp"

#include <memory>
#include <string>

namespace corvane {

class IDEProcessManager {
 public:
  IDEProcessManager(int server_port, int watchdog_port, std::string auth_token, int docs_port,
                    const SettingsManager* settings);
  ~IDEProcessManager();
  IDEProcessManager(const IDEProcessManager&) = delete;
  IDEProcessManager& operator=(const IDEProcessManager&) = delete;

  // True when the editor runs afterwards (started if it was not); false when it cannot start.
  bool ensure_running();
  // True when the running editor was stopped and a new one started.
  bool kill_and_restart();
  // Stops the editor's process group, if it runs (server exit).
  void stop();

  // The running editor's process, or null.
  std::shared_ptr<process::Child> child() const { return child_; }

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
