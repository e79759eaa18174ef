#include "indexscout/environment.hpp"

#include "indexscout/text.hpp"

#include "services/pipe_stream.hpp"
#include "services/platform.hpp"
#include "services/process.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include <algorithm>
#include <array>
#include <functional>
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
  if (auto env = corvane::platform::get_env("CORVANE_PYTHON"); env && !env->empty()) return *env;
  return corvane::platform::default_python();
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
    throw std::runtime_error("cannot run the Python interpreter " + python + ": " +
                             corvane::platform::error_message(spawned.error_number));

  // Both pipes are read to their end on a loop of our own, within the time limit.
  boost::asio::io_context io;
  struct Reader {
    corvane::process::PipeStream stream;
    std::string text;
    std::array<char, 8192> buffer{};
  };
  Reader out_reader{corvane::process::PipeStream(io, spawned.out), {}, {}};
  Reader err_reader{corvane::process::PipeStream(io, spawned.err), {}, {}};
  bool timed_out = false, too_much = false;
  int open = 2;
  boost::asio::steady_timer deadline(io, timeout);
  auto stop_reading = [&] {
    boost::system::error_code ignored;
    out_reader.stream.close(ignored);
    err_reader.stream.close(ignored);
  };
  deadline.async_wait([&](boost::system::error_code ec) {
    if (ec) return;
    timed_out = true;
    stop_reading();
  });
  std::function<void(Reader&)> read = [&](Reader& r) {
    r.stream.async_read_some(boost::asio::buffer(r.buffer), [&](boost::system::error_code ec, std::size_t got) {
      if (!ec) {
        if (r.text.size() + got > kMaxOutput) {
          too_much = true;
          stop_reading();
        } else {
          r.text.append(r.buffer.data(), got);
        }
        read(r);
        return;
      }
      if (--open == 0) deadline.cancel();
    });
  };
  read(out_reader);
  read(err_reader);
  io.run();
  std::string& out = out_reader.text;
  std::string& err = err_reader.text;

  corvane::process::Child& child = *spawned.child;
  if (timed_out || too_much) child.kill();
  child.wait();
  const std::optional<int> exit_status = child.exit_status();

  if (timed_out) throw std::runtime_error("the Python interpreter " + python + " did not answer in time");
  if (too_much) throw std::runtime_error("the Python interpreter " + python + " printed too much");
  if (exit_status && !corvane::process::succeeded(*exit_status)) {
    const int status = *exit_status;
    const bool exited = corvane::process::exited(status);
    std::string how = exited ? "exit status " + std::to_string(corvane::process::exit_code(status))
                             : "signal " + std::to_string(corvane::process::signal_number(status));
    if (exited && corvane::process::exit_code(status) == 127 && err.empty()) how = "cannot run it";
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
    std::filesystem::path dir = corvane::platform::path_from_utf8(entry);
    if (!std::filesystem::is_directory(dir, ec)) continue;  // zip archives and missing folders
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
      names.push_back(corvane::platform::path_to_utf8(it->path().filename()));
    std::sort(names.begin(), names.end());
    const bool is_egg = ends_with_ci(corvane::platform::path_to_utf8(dir.filename()), ".egg");

    for (const std::string& name : names) {
      const bool info = ends_with_ci(name, ".dist-info") || ends_with_ci(name, ".egg-info") ||
                        (is_egg && text::iequals_ascii(name, "egg-info"));
      if (!info) continue;
      std::filesystem::path p = dir / corvane::platform::path_from_utf8(name);
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
