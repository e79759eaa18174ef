#pragma once
// Child processes: start without a shell, each as the leader of its own process group, and
// reap them. A handle never signals a process after it has been reaped, so a recycled pid is
// never hit.
#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvane::process {

class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  pid_t pid() const { return pid_; }

  // True until the process has been reaped. Reaps it first if it has exited.
  bool alive();
  // The wait status once reaped.
  std::optional<int> exit_status() const;

  // Signal the process alone / its process group. Return 0, or an errno value
  // (ESRCH once the process has been reaped).
  int signal(int sig);
  int signal_group(int sig);

  // Blocks up to `timeout_ms` for the process to exit; true when it did.
  bool wait_for(int timeout_ms);

  void mark_reaped(int status);

 private:
  pid_t pid_;
  mutable std::mutex mutex_;
  bool reaped_ = false;
  int status_ = 0;
};

struct SpawnOptions {
  bool new_process_group = true;
  // Null: inherit the caller's environment. Otherwise the complete environment ("K=V").
  const std::vector<std::string>* env = nullptr;
  // Descriptors that become the child's stdin, stdout and stderr (-1: inherited).
  int stdin_fd = -1;
  int stdout_fd = -1;
  int stderr_fd = -1;
};

// Starts argv[0] (looked up on PATH when it has no "/") with the given arguments.
// On failure returns null and sets `error` to a readable reason.
std::shared_ptr<Child> spawn(const std::vector<std::string>& argv, const SpawnOptions& options, std::string& error);

// Reaps every exited child (waitpid with WNOHANG) and marks the handles that belong to them.
// Returns the number of children reaped.
int reap_children();

// The current environment plus overrides, as "K=V" strings.
std::vector<std::string> environment_with(const std::map<std::string, std::string>& overrides);

}  // namespace corvane::process
