// The POSIX launcher: fork and exec.
#include "services/process.hpp"
#include "services/platform.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <thread>
#include <unordered_map>
#include <utility>

extern char** environ;

namespace corvane::process {
namespace {

std::mutex g_table_mutex;
std::unordered_map<pid_t, std::weak_ptr<Child>> g_table;

std::error_code errno_code(int err) { return err ? std::error_code(err, std::generic_category()) : std::error_code(); }

}  // namespace

Child::~Child() = default;

bool Child::alive() {
  {
    std::lock_guard lock(mutex_);
    if (reaped_) return false;
  }
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    mark_reaped(status);
    return false;
  }
  if (r < 0 && errno == ECHILD) {
    // Reaped elsewhere (or never ours): treat as gone.
    mark_reaped(0);
    return false;
  }
  return true;
}

bool exited(int status) { return WIFEXITED(status); }
int exit_code(int status) { return WEXITSTATUS(status); }
bool signalled(int status) { return WIFSIGNALED(status); }
int signal_number(int status) { return WTERMSIG(status); }

std::string describe_exit(int status) {
  if (WIFSIGNALED(status)) {
    const char* name = ::sigabbrev_np(WTERMSIG(status));
    return name ? std::string("SIG") + name : "signal " + std::to_string(WTERMSIG(status));
  }
  return "status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : status);
}

void Child::mark_reaped(int status) {
  std::function<void(int)> handler;
  {
    std::lock_guard lock(mutex_);
    if (reaped_) return;
    reaped_ = true;
    status_ = status;
    handler = std::move(on_exit_);
  }
  if (handler) handler(status);
  std::lock_guard lock(g_table_mutex);
  auto it = g_table.find(pid_);
  if (it != g_table.end()) {
    auto sp = it->second.lock();
    if (!sp || sp.get() == this) g_table.erase(it);
  }
}

std::error_code Child::signal(int sig) {
  std::lock_guard lock(mutex_);
  if (reaped_) return errno_code(ESRCH);
  return errno_code(::kill(pid_, sig) == 0 ? 0 : errno);
}

std::error_code Child::signal_group(int sig) {
  std::lock_guard lock(mutex_);
  if (reaped_) return errno_code(ESRCH);
  pid_t pgid = ::getpgid(pid_);
  if (pgid < 0) return errno_code(errno);
  // Never signal our own group.
  if (pgid == ::getpgrp()) return errno_code(EPERM);
  return errno_code(::killpg(pgid, sig) == 0 ? 0 : errno);
}

std::error_code Child::terminate() { return signal(SIGTERM); }
std::error_code Child::kill() { return signal(SIGKILL); }
std::error_code Child::terminate_tree() { return signal_group(SIGTERM); }
std::error_code Child::kill_tree() { return signal_group(SIGKILL); }

void Child::wait() {
  while (alive()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

bool Child::wait_for(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (alive()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

namespace {

// The descriptors of one child's standard streams: what the child gets, and the server's ends.
class StdioPlan {
 public:
  ~StdioPlan() {
    for (int& fd : child_end_) close_fd(fd);
    for (int& fd : parent_end_) close_fd(fd);
  }
  // False with `error` when a pipe or /dev/null cannot be opened.
  bool prepare(const SpawnOptions& options, std::string& error) {
    const Stdio modes[3] = {options.in, options.out, options.err};
    for (int target = 0; target < 3; ++target) {
      if (modes[target] == Stdio::null) {
        child_end_[target] = ::open("/dev/null", target == 0 ? O_RDONLY | O_CLOEXEC : O_WRONLY | O_CLOEXEC);
        if (child_end_[target] < 0) return fail("cannot open /dev/null", error);
      } else if (modes[target] == Stdio::pipe) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return fail("cannot create a pipe", error);
        // Standard input: the child reads; the others: the child writes.
        child_end_[target] = target == 0 ? fds[0] : fds[1];
        parent_end_[target] = target == 0 ? fds[1] : fds[0];
      }
    }
    return true;
  }
  // The descriptor that becomes the child's stream `target`, or -1 (inherited).
  int child_end(int target) const { return child_end_[target]; }
  // Hands the server's ends over and closes the child's (in the server).
  void hand_over(Spawned& spawned) {
    for (int& fd : child_end_) close_fd(fd);
    spawned.in = std::exchange(parent_end_[0], -1);
    spawned.out = std::exchange(parent_end_[1], -1);
    spawned.err = std::exchange(parent_end_[2], -1);
  }

 private:
  static void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  static bool fail(const char* what, std::string& error) {
    error = std::string(what) + ": " + std::strerror(errno);
    return false;
  }
  int child_end_[3] = {-1, -1, -1};
  int parent_end_[3] = {-1, -1, -1};
};

}  // namespace

namespace {

// Where execvp would find `name`: itself when it names a path, else the first executable file of
// that name in PATH. Empty with `err` set when there is none.
std::string resolve_program(const std::string& name, int& err) {
  if (name.find('/') != std::string::npos) return name;
  const char* env_path = std::getenv("PATH");
  std::string_view path = env_path && *env_path ? env_path : "/bin:/usr/bin";
  err = ENOENT;
  while (true) {
    std::size_t colon = path.find(':');
    std::string dir(path.substr(0, colon));
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      err = EACCES;
    }
    if (colon == std::string_view::npos) break;
    path.remove_prefix(colon + 1);
  }
  return {};
}

// In the child, between fork and exec: only async-signal-safe calls. Returns only on failure.
[[noreturn]] void become_child(pid_t parent, bool new_group, const int (&stdio)[3], int report_fd, const char* path,
                               char* const* argv, char* const* envp) {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::sigaction(sig, &dfl, nullptr);
  if (new_group) ::setpgid(0, 0);
  // Dies with the server; a server that died before this was set is noticed right after.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  for (int target = 0; target < 3; ++target) {
    int fd = stdio[target];
    if (fd < 0) continue;
    if (fd == target) ::fcntl(fd, F_SETFD, 0);
    else ::dup2(fd, target);
  }
  // Nothing but the standard streams (and the exec report, closed by exec) goes across.
  if (report_fd > 3) ::close_range(3, static_cast<unsigned>(report_fd) - 1, 0);
  ::close_range(static_cast<unsigned>(report_fd) + 1, ~0u, 0);
  ::execve(path, argv, envp);
  int err = errno;
  [[maybe_unused]] ssize_t n = ::write(report_fd, &err, sizeof err);
  ::_exit(127);
}

Spawned failure(int err, const std::string& program, std::string& error) {
  error = std::string("[Errno ") + std::to_string(err) + "] " + std::strerror(err) + ": '" + program + "'";
  Spawned failed;
  failed.error_number = err;
  return failed;
}

}  // namespace

Spawned spawn(const std::vector<std::string>& argv, const SpawnOptions& options, std::string& error) {
  if (argv.empty()) {
    error = "empty command";
    return {};
  }
  int err = 0;
  const std::string path = resolve_program(argv[0], err);
  if (path.empty()) return failure(err, argv[0], error);
  StdioPlan stdio;
  if (!stdio.prepare(options, error)) return {};

  // Everything the child needs is made before the fork.
  std::vector<char*> cargv;
  cargv.reserve(argv.size() + 1);
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  std::vector<char*> cenv;
  char** envp = environ;
  if (options.env) {
    for (const auto& e : *options.env) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);
    envp = cenv.data();
  }
  const int child_stdio[3] = {stdio.child_end(0), stdio.child_end(1), stdio.child_end(2)};
  // The child reports a failed exec through this pipe; a successful exec closes it.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return {};
  }

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) become_child(parent, options.new_process_group, child_stdio, report[1], path.c_str(), cargv.data(), envp);
  ::close(report[1]);
  if (pid < 0) {
    err = errno;
    ::close(report[0]);
    return failure(err, argv[0], error);
  }
  // Also here, so that the group exists whichever of the two runs first.
  if (options.new_process_group) ::setpgid(pid, pid);
  int exec_error = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got == static_cast<ssize_t>(sizeof exec_error)) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return failure(exec_error, argv[0], error);
  }

  Spawned spawned;
  spawned.child = std::make_shared<Child>(pid);
  {
    std::lock_guard lock(g_table_mutex);
    g_table[pid] = spawned.child;
  }
  stdio.hand_over(spawned);
  return spawned;
}

int reap_children() {
  int count = 0;
  while (true) {
    int status = 0;
    pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid <= 0) break;
    ++count;
    std::shared_ptr<Child> child;
    {
      std::lock_guard lock(g_table_mutex);
      auto it = g_table.find(pid);
      if (it != g_table.end()) child = it->second.lock();
    }
    if (child) child->mark_reaped(status);
  }
  return count;
}

void close_pipe(PipeEnd end) {
  if (end >= 0) ::close(end);
}

std::vector<std::string> environment_with(const std::map<std::string, std::string>& overrides) {
  return platform::environment_with(overrides);
}

}  // namespace corvane::process
