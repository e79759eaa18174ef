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

bool Child::wait_for(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (alive()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::shared_ptr<Child> spawn(const std::vector<std::string>& argv, const SpawnOptions& options, std::string& error) {
  if (argv.empty()) {
    error = "empty command";
    return nullptr;
  }
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
  const int redirect[3] = {options.stdin_fd, options.stdout_fd, options.stderr_fd};
  for (int target = 0; target < 3; ++target)
    if (redirect[target] >= 0) posix_spawn_file_actions_adddup2(&actions, redirect[target], target);

  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, cargv[0], &actions, &attr, cargv.data(), envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    error = std::string("[Errno ") + std::to_string(rc) + "] " + std::strerror(rc) + ": '" + argv[0] + "'";
    return nullptr;
  }
  auto child = std::make_shared<Child>(pid);
  {
    std::lock_guard lock(g_table_mutex);
    g_table[pid] = child;
  }
  return child;
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
