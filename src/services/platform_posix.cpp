#include "services/platform.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace corvane::platform {

std::filesystem::path home_directory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  std::error_code ec;
  return std::filesystem::current_path(ec);
}

std::string default_python() { return "python3"; }

std::optional<std::string> get_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

void set_env(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }

std::map<std::string, std::string> environment() {
  std::map<std::string, std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string_view kv(*e);
    auto eq = kv.find('=');
    if (eq == std::string_view::npos) continue;
    env.emplace(std::string(kv.substr(0, eq)), std::string(kv.substr(eq + 1)));
  }
  return env;
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

char path_list_separator() { return ':'; }

std::filesystem::path path_from_utf8(std::string_view text) { return std::filesystem::path(text); }

std::string path_to_utf8(const std::filesystem::path& path) { return path.string(); }

std::filesystem::path executable_path() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe;
}

int process_id() { return static_cast<int>(::getpid()); }

std::tm local_time(std::time_t t) {
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return tm;
}

std::vector<std::string> arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void ignore_broken_pipes() {
  struct sigaction current {};
  if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) ::signal(SIGPIPE, SIG_IGN);
}

void prepare_process() {
  ::signal(SIGPIPE, SIG_IGN);
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 65536);
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
}

std::string error_message(int error_number) { return std::strerror(error_number); }

namespace {

bool write_all(int fd, std::string_view text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::optional<WriteFailure> replace_file(const std::filesystem::path& file, std::string_view text) {
  std::filesystem::path tmp = file;
  tmp += ".tmp-" + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return WriteFailure{tmp, std::strerror(errno)};
  bool ok = write_all(fd, text) && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
    WriteFailure failure{file, std::strerror(errno)};
    ::unlink(tmp.c_str());
    return failure;
  }
  int dfd = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return std::nullopt;
}

}  // namespace corvane::platform
