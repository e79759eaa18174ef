#pragma once
// Child processes: start without a shell, each with everything it starts kept together (its own
// process group on POSIX, its own job object on Windows), dying with the server, and reaped. A
// handle never signals a process after it has been reaped, so a recycled pid is never hit.
//
// process.cpp is the POSIX launcher (fork and exec), process_win.cpp the Windows one
// (CreateProcessW, suspended until it has joined its job).
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace corvane::process {

struct Spawned;
struct SpawnOptions;

class Child {
 public:
#ifdef _WIN32
  // Takes ownership of the process handle and the job object that holds it.
  Child(int pid, void* process, void* job);
#else
  explicit Child(int pid) : pid_(pid) {}
#endif
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  int pid() const { return pid_; }

  // True until the process has been reaped. Reaps it first if it has exited.
  bool alive();
  // How it ended, once reaped: the wait status (POSIX) or the exit code (Windows). Read it with
  // exited(), exit_code(), signalled() and describe_exit() below.
  std::optional<int> exit_status() const;

  // Stopping it. Each returns an empty error_code, or why it failed (std::errc::no_such_process
  // once the process has been reaped).
  //   terminate()       the process alone, asked to stop: SIGTERM; TerminateProcess on Windows
  //   kill()            the process alone, at once: SIGKILL; TerminateProcess on Windows
  //   terminate_tree()  the process and what it started: SIGTERM to its process group; on Windows
  //                     its job object is ended, which ends every process in it at once
  //   kill_tree()       SIGKILL to its process group; its job object ended on Windows
  // The tree forms fail with std::errc::operation_not_permitted rather than reach the server's
  // own process group.
  std::error_code terminate();
  std::error_code kill();
  std::error_code terminate_tree();
  std::error_code kill_tree();

  // Blocks up to `timeout_ms` for the process to exit; true when it did.
  bool wait_for(int timeout_ms);
  // Blocks until the process has exited (for blocking callers off the loop).
  void wait();

  void mark_reaped(int status);

  // Called once with the exit status when the process has been reaped (from the thread that
  // reaped it: the server's loop, where SIGCHLD is handled, or on Windows the thread that waited
  // for the exit). Set at most once, before it exits.
  void on_exit(std::function<void(int status)> handler);
  // The server asked the process to stop: its exit is no surprise.
  void expect_exit() { expected_exit_ = true; }
  bool exit_expected() const { return expected_exit_; }

 private:
  friend Spawned spawn(const std::vector<std::string>& argv, const SpawnOptions& options, std::string& error);
  std::error_code signal(int sig);
  std::error_code signal_group(int sig);

  int pid_;
#ifdef _WIN32
  void* process_ = nullptr;  // HANDLE of the process
  void* job_ = nullptr;      // HANDLE of its job object (kill-on-close)
  void* wait_ = nullptr;     // the registered wait that reaps it
#endif
  mutable std::mutex mutex_;
  bool reaped_ = false;
  int status_ = 0;
  std::function<void(int)> on_exit_;
  std::atomic<bool> expected_exit_{false};
};

// Reading an exit status.
// True when the process ended by itself with an exit code (always on Windows).
bool exited(int status);
// Its exit code, when exited().
int exit_code(int status);
// True when a signal ended it (POSIX only), and which.
bool signalled(int status);
int signal_number(int status);
// True when it exited with code 0.
inline bool succeeded(int status) { return exited(status) && exit_code(status) == 0; }
// "status 3", or the signal's name ("SIGSEGV"); on Windows an exception code in hex
// ("status 0xC0000005").
std::string describe_exit(int status);

// What one of a child's standard streams is: the server's own, the null device, or a pipe whose
// other end the server keeps.
enum class Stdio { inherit, null, pipe };

struct SpawnOptions {
  // Its own process group (POSIX) / console process group (Windows), so that an interrupt meant
  // for the server does not reach it. Its tree (group or job) is always its own.
  bool new_process_group = true;
  // Null: inherit the caller's environment. Otherwise the complete environment ("K=V").
  const std::vector<std::string>* env = nullptr;
  Stdio in = Stdio::inherit;
  Stdio out = Stdio::inherit;
  Stdio err = Stdio::inherit;
};

// The server's end of a child's pipe: a file descriptor (POSIX) or an overlapped pipe HANDLE
// (Windows), for asio's posix::stream_descriptor or windows::stream_handle (pipe_stream.hpp).
#ifdef _WIN32
using PipeEnd = void*;
inline constexpr PipeEnd kNoPipe = nullptr;
#else
using PipeEnd = int;
inline constexpr PipeEnd kNoPipe = -1;
#endif

// A started child, and the server's ends of the pipes it was given (never inherited by other
// children; kNoPipe where the stream is not a pipe). The caller owns them.
struct Spawned {
  std::shared_ptr<Child> child;
  PipeEnd in = kNoPipe;   // to write to the child's standard input
  PipeEnd out = kNoPipe;  // to read the child's standard output
  PipeEnd err = kNoPipe;  // to read the child's standard error
  int error_number = 0;   // why it could not be started (errno; GetLastError() on Windows)
  explicit operator bool() const { return child != nullptr; }
};

// The one way the server starts a process: argv[0] (looked up on PATH when it names no folder;
// on Windows also with ".exe" added) with the given arguments, no shell. On failure the result is
// empty and `error` a readable reason.
Spawned spawn(const std::vector<std::string>& argv, const SpawnOptions& options, std::string& error);

// Closes a pipe end that no stream took over.
void close_pipe(PipeEnd end);

// Reaps every exited child (waitpid with WNOHANG) and marks the handles that belong to them.
// Returns the number of children reaped. On Windows children are reaped as they exit and this
// returns 0.
int reap_children();

// The current environment plus overrides, as "K=V" strings.
std::vector<std::string> environment_with(const std::map<std::string, std::string>& overrides);

}  // namespace corvane::process
