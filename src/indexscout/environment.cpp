#include "indexscout/environment.hpp"

#include "indexscout/text.hpp"

#include "services/process.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace indexscout::environment {
namespace {

constexpr std::size_t kMaxOutput = std::size_t(16) << 20;
constexpr std::uintmax_t kMaxMetadataFile = std::uintmax_t(16) << 20;

constexpr const char* kProbe =
    "import json, os, sys\n"
    "json.dump({'path': [p or os.getcwd() for p in sys.path],\n"
    "           'stdlib': sorted(getattr(sys, 'stdlib_module_names', ())),\n"
    "           'version': sys.version}, sys.stdout)\n";

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

std::string tail(const std::string& s, std::size_t n) { return s.size() <= n ? s : s.substr(s.size() - n); }

std::vector<std::string> string_list(const boost::json::value* v, const char* what) {
  if (!v || !v->is_array()) throw std::runtime_error(std::string("interpreter did not report ") + what);
  std::vector<std::string> out;
  for (const auto& item : v->get_array())
    if (item.is_string()) out.emplace_back(item.get_string());
  return out;
}

std::optional<std::string> read_small_file(const std::filesystem::path& p) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(p, ec)) return std::nullopt;
  auto size = std::filesystem::file_size(p, ec);
  if (ec || size > kMaxMetadataFile) return std::nullopt;
  std::ifstream in(p, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool ends_with_ci(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && text::iequals_ascii(s.substr(s.size() - suffix.size()), suffix);
}

}  // namespace

std::string python_executable(const std::string& explicit_choice) {
  if (!explicit_choice.empty()) return explicit_choice;
  if (const char* env = std::getenv("CORVANE_PYTHON"); env && *env) return env;
  return "python3";
}

PythonInfo query_python(const std::string& python, std::chrono::milliseconds timeout) {
  corvane::process::SpawnOptions options;
  options.new_process_group = false;
  options.in = corvane::process::Stdio::null;
  options.out = corvane::process::Stdio::pipe;
  options.err = corvane::process::Stdio::pipe;
  std::string error;
  corvane::process::Spawned spawned = corvane::process::spawn({python, "-c", kProbe}, options, error);
  if (!spawned)
    throw std::runtime_error("cannot run the Python interpreter " + python + ": " + std::strerror(spawned.error_number));
  Fd out_r{spawned.out}, err_r{spawned.err};

  std::string out, err;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  bool timed_out = false, too_much = false;
  while (out_r.fd >= 0 || err_r.fd >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd fds[2] = {{out_r.fd, POLLIN, 0}, {err_r.fd, POLLIN, 0}};
    int n = ::poll(fds, 2, static_cast<int>(left.count()));
    if (n < 0 && errno != EINTR) break;
    for (int k = 0; k < 2 && n > 0; ++k) {
      if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[8192];
      ssize_t got = ::read(fds[k].fd, buf, sizeof buf);
      if (got > 0) {
        std::string& dest = k == 0 ? out : err;
        if (dest.size() + static_cast<std::size_t>(got) > kMaxOutput) too_much = true;
        else dest.append(buf, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        (k == 0 ? out_r : err_r).reset();
      }
    }
    if (too_much) break;
  }
  corvane::process::Child& child = *spawned.child;
  if (timed_out || too_much) child.signal(SIGKILL);
  child.wait();
  const std::optional<int> exit_status = child.exit_status();
  const bool known = exit_status.has_value();
  const int status = exit_status.value_or(0);

  if (timed_out) throw std::runtime_error("the Python interpreter " + python + " did not answer in time");
  if (too_much) throw std::runtime_error("the Python interpreter " + python + " printed too much");
  if (known && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                        : "signal " + std::to_string(WTERMSIG(status));
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && err.empty())
      how = "cannot run it";
    throw std::runtime_error("the Python interpreter " + python + " failed (" + how + ")" +
                             (err.empty() ? "" : ": " + tail(err, 500)));
  }

  boost::system::error_code ec;
  boost::json::value doc = boost::json::parse(out, ec);
  if (ec || !doc.is_object())
    throw std::runtime_error("the Python interpreter " + python + " gave no usable answer" +
                             (err.empty() ? "" : ": " + tail(err, 500)));
  const auto& o = doc.get_object();
  PythonInfo info;
  info.sys_path = string_list(o.if_contains("path"), "sys.path");
  info.stdlib_module_names = string_list(o.if_contains("stdlib"), "its standard-library modules");
  const boost::json::value* version = o.if_contains("version");
  if (!version || !version->is_string()) throw std::runtime_error("interpreter did not report sys.version");
  info.version = version->get_string();
  return info;
}

std::vector<InstalledDistribution> find_distributions(const std::vector<std::string>& sys_path) {
  std::vector<InstalledDistribution> out;
  for (const std::string& entry : sys_path) {
    std::error_code ec;
    std::filesystem::path dir(entry);
    if (!std::filesystem::is_directory(dir, ec)) continue;  // zip archives and missing folders
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
      names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    const bool is_egg = ends_with_ci(dir.filename().string(), ".egg");

    for (const std::string& name : names) {
      const bool info = ends_with_ci(name, ".dist-info") || ends_with_ci(name, ".egg-info") ||
                        (is_egg && text::iequals_ascii(name, "egg-info"));
      if (!info) continue;
      std::filesystem::path p = dir / name;
      std::optional<std::string> content;
      if (std::filesystem::is_directory(p, ec)) {
        content = read_small_file(p / "METADATA");
        if (!content || content->empty()) content = read_small_file(p / "PKG-INFO");
      } else {
        content = read_small_file(p);
      }
      if (!content || content->empty()) continue;
      out.push_back(InstalledDistribution{p, CoreMetadata::parse(*content)});
    }
  }
  return out;
}

}  // namespace indexscout::environment
