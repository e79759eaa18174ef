#pragma once
// Child processes: start without a shell, each as the leader of its own process group, and
// reap them. A handle never signals a process after it has been reaped, so a recycled pid is
// never hit.
#include <sys/types.h>

#include <atomic>
#include <functional>
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
  // Blocks until the process has exited (for blocking callers off the loop).
  void wait();

  void mark_reaped(int status);

  // Called once with the wait status when the process has been reaped (from the thread that
  // reaped it: the server's loop, where SIGCHLD is handled). Set at most once, before it exits.
  void on_exit(std::function<void(int status)> handler);
  // The server asked the process to stop: its exit is no surprise.
  void expect_exit() { expected_exit_ = true; }
  bool exit_expected() const { return expected_exit_; }

 private:
  pid_t pid_;
  mutable std::mutex mutex_;
  bool reaped_ = false;
  int status_ = 0;
  std::function<void(int)> on_exit_;
  std::atomic<bool> expected_exit_{false};
};

// "status 3", or the signal's name ("SIGSEGV") for a wait status.
std::string describe_exit(int status);

// What one of a child's standard streams is: the server's own, /dev/null, or a pipe whose other
// end the server keeps.
enum class Stdio { inherit, null, pipe };

struct SpawnOptions {
  bool new_process_group = true;
  // Null: inherit the caller's environment. Otherwise the complete environment ("K=V").
  const std::vector<std::string>* env = nullptr;
  Stdio in = Stdio::inherit;
  Stdio out = Stdio::inherit;
  Stdio err = Stdio::inherit;
};

// A started child, and the server's ends of the pipes it was given (close-on-exec; -1 where the
// stream is not a pipe). The caller owns the descriptors.
struct Spawned {
  std::shared_ptr<Child> child;
  int in = -1;   // to write to the child's standard input
  int out = -1;  // to read the child's standard output
  int err = -1;  // to read the child's standard error
  int error_number = 0;  // why it could not be started
  explicit operator bool() const { return child != nullptr; }
};

// The one way the server starts a process: argv[0] (looked up on PATH when it has no "/") with
// the given arguments, no shell. On failure the result is empty and `error` a readable reason.
Spawned spawn(const std::vector<std::string>& argv, const SpawnOptions& options, std::string& error);

// Reaps every exited child (waitpid with WNOHANG) and marks the handles that belong to them.
// Returns the number of children reaped.
int reap_children();

// The current environment plus overrides, as "K=V" strings.
std::vector<std::string> environment_with(const std::map<std::string, std::string>& overrides);

}  // namespace corvane::process
