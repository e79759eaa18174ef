#include "services/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

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

std::optional<int> Child::exit_status() const {
  std::lock_guard lock(mutex_);
  if (!reaped_) return std::nullopt;
  return status_;
}

void Child::mark_reaped(int status) {
  {
    std::lock_guard lock(mutex_);
    if (reaped_) return;
    reaped_ = true;
    status_ = status;
  }
  std::lock_guard lock(g_table_mutex);
  auto it = g_table.find(pid_);
  if (it != g_table.end()) {
    auto sp = it->second.lock();
    if (!sp || sp.get() == this) g_table.erase(it);
  }
}

int Child::signal(int sig) {
  std::lock_guard lock(mutex_);
  if (reaped_) return ESRCH;
  return ::kill(pid_, sig) == 0 ? 0 : errno;
}

int Child::signal_group(int sig) {
  std::lock_guard lock(mutex_);
  if (reaped_) return ESRCH;
  pid_t pgid = ::getpgid(pid_);
  if (pgid < 0) return errno;
  // Never signal our own group.
  if (pgid == ::getpgrp()) return EPERM;
  return ::killpg(pgid, sig) == 0 ? 0 : errno;
}

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

Spawned spawn(const std::vector<std::string>& argv, const SpawnOptions& options, std::string& error) {
  if (argv.empty()) {
    error = "empty command";
    return {};
  }
  StdioPlan stdio;
  if (!stdio.prepare(options, error)) return {};
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

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.new_process_group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
  }
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  posix_spawnattr_setsigmask(&attr, &empty_mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, flags);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int target = 0; target < 3; ++target)
    if (stdio.child_end(target) >= 0) posix_spawn_file_actions_adddup2(&actions, stdio.child_end(target), target);

  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, cargv[0], &actions, &attr, cargv.data(), envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    error = std::string("[Errno ") + std::to_string(rc) + "] " + std::strerror(rc) + ": '" + argv[0] + "'";
    Spawned failed;
    failed.error_number = rc;
    return failed;
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

std::vector<std::string> environment_with(const std::map<std::string, std::string>& overrides) {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) {
    std::string_view kv(*e);
    auto eq = kv.find('=');
    std::string key(kv.substr(0, eq));
    if (overrides.count(key)) continue;
    out.emplace_back(kv);
  }
  for (const auto& [k, v] : overrides) out.push_back(k + "=" + v);
  return out;
}

}  // namespace corvane::process
