#include "packages/package_manager.hpp"

#include "services/logging.hpp"
#include "services/pipe_process.hpp"
#include "services/platform.hpp"

#include "indexscout/indexscout.hpp"
#include "indexscout/pep440.hpp"

#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/json/serialize.hpp>


#include <atomic>
#include <deque>
#include <fstream>
#include <random>
#include <regex>

namespace corvane {

namespace asio = boost::asio;
namespace json = boost::json;
namespace fs = std::filesystem;
using asio::awaitable;

// ---- validation ------------------------------------------------------------------------------

namespace {

constexpr std::size_t kMaxNameLength = 200;
constexpr std::size_t kMaxVersionLength = 100;

// A peer's value inside an error text: quoted, cut when it is very long.
std::string shown(std::string_view value) {
  if (value.size() > 100) return std::string(value.substr(0, 100)) + "...";
  return std::string(value);
}

bool is_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// PEP 508 names and extras: letters and digits, with ".", "_" and "-" inside.
bool is_pep508_name(std::string_view s) {
  if (s.empty() || s.size() > kMaxNameLength || !is_alnum(s.front()) || !is_alnum(s.back())) return false;
  for (char c : s)
    if (!is_alnum(c) && c != '.' && c != '_' && c != '-') return false;
  return true;
}

std::string normalize_extra(std::string_view extra) { return normalize_package_name(extra); }

}  // namespace

std::string normalize_package_name(std::string_view name) {
  std::string out;
  bool in_run = false;
  for (char c : name) {
    if (c == '-' || c == '_' || c == '.') {
      if (!in_run) out += '-';
      in_run = true;
    } else {
      out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      in_run = false;
    }
  }
  return out;
}

std::string validate_package_name(std::string_view name) {
  if (is_pep508_name(name)) return {};
  return "Invalid package name '" + shown(name) + "'";
}

std::string validate_package_version(std::string_view name, std::string_view version) {
  bool ok = !version.empty() && version.size() <= kMaxVersionLength;
  for (char c : version)
    if (!is_alnum(c) && c != '.' && c != '!' && c != '+' && c != '_' && c != '-') ok = false;
  if (ok && indexscout::pep440::Version::parse(version)) return {};
  return "Invalid version '" + shown(version) + "' for package '" + shown(name) + "'";
}

std::string validate_package_extra(std::string_view name, std::string_view extra) {
  if (is_pep508_name(extra)) return {};
  return "Invalid extra '" + shown(extra) + "' for package '" + shown(name) + "'";
}

std::string validate_package_request(std::string_view name, std::string_view version,
                                     const std::vector<std::string>& extras) {
  if (auto e = validate_package_name(name); !e.empty()) return e;
  if (auto e = validate_package_version(name, version); !e.empty()) return e;
  for (const auto& extra : extras)
    if (auto e = validate_package_extra(name, extra); !e.empty()) return e;
  return {};
}

// ---- pip's index arguments -------------------------------------------------------------------

std::vector<std::string> pip_index_arguments(const SettingsManager* settings) {
  indexscout::Indexscout reader(settings);
  json::object pip = reader._get_pip_settings();
  std::string primary;
  std::vector<std::string> secondaries;
  if (const auto* urls = pip["index_urls"].if_array()) {
    for (const auto& entry : *urls) {
      const auto* o = entry.if_object();
      if (!o) continue;
      const auto* url = o->if_contains("url");
      if (!url || !url->is_string()) continue;
      const auto* is_primary = o->if_contains("primary");
      if (is_primary && is_primary->is_bool() && is_primary->get_bool()) primary = std::string(url->get_string());
      else secondaries.emplace_back(url->get_string());
    }
  }
  const json::value& use = pip["use_secondary_urls"];
  bool use_secondary = use.is_bool() ? use.get_bool() : false;
  if (!use_secondary) secondaries.clear();
  std::vector<std::string> args;
  if (primary.empty() && !secondaries.empty()) {
    primary = secondaries.front();
    secondaries.erase(secondaries.begin());
  }
  if (primary.empty()) {
    args.push_back("--no-index");  // no index configured: nothing can be found
  } else {
    args.insert(args.end(), {"--index-url", primary});
    for (auto& url : secondaries) args.insert(args.end(), {"--extra-index-url", url});
  }
  std::int64_t retries = 3;
  const json::value& r = pip["retries"];
  if (r.is_int64()) retries = r.get_int64();
  else if (r.is_uint64()) retries = static_cast<std::int64_t>(std::min<std::uint64_t>(r.get_uint64(), 100));
  else if (r.is_double()) retries = static_cast<std::int64_t>(r.get_double());
  retries = std::clamp<std::int64_t>(retries, 0, 100);
  args.insert(args.end(), {"--retries", std::to_string(retries)});
  return args;
}

// ---- shared state ----------------------------------------------------------------------------

namespace {

// One install of a cache entry at a time: the holder of the entry's lock installs, the others
// wait and then find it cached.
struct EntryLock {
  explicit EntryLock(asio::any_io_executor ex) : released(ex) {}
  bool busy = false;
  Notifier released;
};

}  // namespace

struct PackageManager::Shared {
  ProcessRegistry registry;
  std::map<std::string, std::shared_ptr<EntryLock>> locks;
  bool stopping = false;
};

namespace {

// Held while one stream installs an entry.
class EntryLease {
 public:
  EntryLease(std::shared_ptr<PackageManager::Shared> shared, std::string key, std::shared_ptr<EntryLock> lock)
      : shared_(std::move(shared)), key_(std::move(key)), lock_(std::move(lock)) {}
  ~EntryLease() {
    lock_->busy = false;
    lock_->released.notify_all();
  }

 private:
  std::shared_ptr<PackageManager::Shared> shared_;
  std::string key_;
  std::shared_ptr<EntryLock> lock_;
};

std::string unique_suffix() {
  static std::atomic<unsigned> counter{0};
  static const unsigned seed = std::random_device{}();
  return std::to_string(platform::process_id()) + "-" + std::to_string(seed % 100000) + "-" + std::to_string(counter++);
}

std::string requirement_text(const std::string& name, const std::string& version,
                             const std::vector<std::string>& extras) {
  std::string text = name;
  if (!extras.empty()) {
    text += '[';
    for (std::size_t i = 0; i < extras.size(); ++i) text += (i ? "," : "") + extras[i];
    text += ']';
  }
  return text + "==" + version;
}

std::string exit_text(int status) {
  if (process::exited(status)) return "pip exited with status " + std::to_string(process::exit_code(status));
  if (process::signalled(status)) return "pip was killed by signal " + std::to_string(process::signal_number(status));
  return "pip ended with wait status " + std::to_string(status);
}

}  // namespace

// ---- one install -----------------------------------------------------------------------------

struct InstallStream::Impl {
  std::shared_ptr<PackageManager::Shared> shared;
  std::string requirement;  // name[extras]==version
  std::string invalid;      // validation error, when any
  fs::path entry;
  std::vector<std::string> argv_head;  // everything but "--target <tmp>" and the requirement
  std::vector<std::string> index_args;
  std::optional<std::vector<std::string>> env;
  std::chrono::milliseconds time_limit{0};
  json::object marker;

  enum class Phase { start, running, done } phase = Phase::start;
  std::deque<InstallEvent> queue;
  std::unique_ptr<EntryLease> lease;
  std::unique_ptr<PipeProcess> process;
  fs::path temporary;
  std::vector<std::string> error_lines;

  ~Impl() {
    process.reset();  // kills an installer that still runs
    discard_temporary();
  }

  void discard_temporary() {
    if (temporary.empty()) return;
    std::error_code ec;
    fs::remove_all(temporary, ec);
    temporary.clear();
  }

  void fail(std::string text) {
    queue.push_back({"error", std::move(text)});
    phase = Phase::done;
    discard_temporary();
    lease.reset();
  }

  void found_in_cache() {
    queue.push_back({"path", platform::path_to_utf8(entry)});
    queue.push_back({"cached", requirement});
    queue.push_back({"success", requirement});
    phase = Phase::done;
    lease.reset();
  }

  awaitable<void> start() {
    if (!invalid.empty()) co_return fail(invalid);
    if (shared->stopping) co_return fail("The server is stopping");
    auto ex = co_await asio::this_coro::executor;
    const std::string key = platform::path_to_utf8(entry);
    auto& lock = shared->locks[key];
    if (!lock) lock = std::make_shared<EntryLock>(ex);
    auto held = lock;
    while (held->busy) co_await held->released.wait();
    held->busy = true;
    lease = std::make_unique<EntryLease>(shared, key, held);

    std::error_code ec;
    if (fs::exists(entry / PackageManager::kMarkerFile, ec)) co_return found_in_cache();

    // Whatever an interrupted install left: a folder without its marker, temporary folders.
    const fs::path parent = entry.parent_path();
    const std::string leaf = platform::path_to_utf8(entry.filename());
    fs::create_directories(parent, ec);
    if (ec) co_return fail("Cannot create the package cache folder " + platform::path_to_utf8(parent) + ": " + ec.message());
    fs::remove_all(entry, ec);
    // Temporary folders of this package ("~" never occurs in a version or an extra), but not
    // those of another version being installed right now.
    for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = platform::path_to_utf8(it->path().filename());
      if (name.rfind(".tmp~", 0) != 0) continue;
      const std::size_t last = name.rfind('~');
      auto other = shared->locks.find(
          platform::path_to_utf8(parent / platform::path_from_utf8(name.substr(5, last > 5 ? last - 5 : 0))));
      if (other != shared->locks.end() && other->second->busy && other->second != held) continue;
      std::error_code remove_ec;
      fs::remove_all(it->path(), remove_ec);
    }
    temporary = parent / platform::path_from_utf8(".tmp~" + leaf + "~" + unique_suffix());
    fs::create_directories(temporary, ec);
    if (ec) co_return fail("Cannot create " + platform::path_to_utf8(temporary) + ": " + ec.message());

    std::vector<std::string> argv = argv_head;
    argv.insert(argv.end(), {"--target", platform::path_to_utf8(temporary)});
    argv.insert(argv.end(), index_args.begin(), index_args.end());
    argv.push_back(requirement);
    PipeProcess::Options options;
    options.env = env ? &*env : nullptr;
    options.time_limit = time_limit;
    options.registry = &shared->registry;
    try {
      process = std::make_unique<PipeProcess>(ex, argv, options);
    } catch (const std::exception& e) {
      co_return fail("Cannot start the installer: " + std::string(e.what()));
    }
    phase = Phase::running;
  }

  void finish(int status) {
    const bool timed_out = process->timed_out();
    process.reset();
    if (timed_out) {
      return fail("Installing " + requirement + " took longer than " + std::to_string(time_limit.count() / 1000) +
                  " s; the installer was stopped");
    }
    if (!process::succeeded(status)) {
      std::string text;
      for (const auto& line : error_lines) text += (text.empty() ? "" : "\n") + line;
      return fail(text.empty() ? exit_text(status) : text);
    }
    // Success: the folder becomes the entry, then the marker is written, last.
    std::error_code ec;
    fs::remove_all(entry, ec);
    fs::rename(temporary, entry, ec);
    if (ec) return fail("Cannot move " + requirement + " into the package cache: " + ec.message());
    temporary.clear();
    const fs::path marker_tmp = entry / (std::string(PackageManager::kMarkerFile) + ".tmp");
    {
      std::ofstream out(marker_tmp, std::ios::binary | std::ios::trunc);
      out << json::serialize(marker) << '\n';
      out.close();
      if (!out) return fail("Cannot write the cache marker of " + requirement);
    }
    fs::rename(marker_tmp, entry / PackageManager::kMarkerFile, ec);
    if (ec) return fail("Cannot write the cache marker of " + requirement + ": " + ec.message());
    queue.push_back({"path", platform::path_to_utf8(entry)});
    queue.push_back({"success", requirement});
    phase = Phase::done;
    lease.reset();
  }
};

InstallStream::InstallStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
InstallStream::~InstallStream() = default;

awaitable<std::optional<InstallEvent>> InstallStream::next() {
  Impl& s = *impl_;
  while (true) {
    if (!s.queue.empty()) {
      InstallEvent event = std::move(s.queue.front());
      s.queue.pop_front();
      co_return event;
    }
    if (s.phase == Impl::Phase::done) co_return std::nullopt;
    if (s.phase == Impl::Phase::start) {
      co_await s.start();
      continue;
    }
    std::optional<PipeProcess::Line> line = co_await s.process->next_line();
    if (line) {
      if (line->is_stderr && line->text.rfind("ERROR: ", 0) == 0) s.error_lines.push_back(line->text.substr(7));
      co_return InstallEvent{line->is_stderr ? "stderr" : "stdout", std::move(line->text)};
    }
    int status = co_await s.process->wait();
    s.finish(status);
  }
}

// ---- the manager -----------------------------------------------------------------------------

PackageManager::PackageManager(std::string base_dir_text, SettingsManager* settings)
    : settings_manager(settings),
      package_cache(platform::path_from_utf8(base_dir_text) / "packages"),
      base_dir(std::move(base_dir_text)),
      shared_(std::make_shared<Shared>()) {}

PackageManager::~PackageManager() {
  kill_installers();
  index_.reset();
  pool_.reset();
}

fs::path PackageManager::entry_path(std::string_view name, std::string_view version,
                                    const std::vector<std::string>& extras) const {
  std::vector<std::string> normalized;
  for (const auto& e : extras) normalized.push_back(normalize_extra(e));
  std::sort(normalized.begin(), normalized.end());
  normalized.erase(std::unique(normalized.begin(), normalized.end()), normalized.end());
  std::string leaf(version);
  if (!normalized.empty()) {
    leaf += '[';
    for (std::size_t i = 0; i < normalized.size(); ++i) leaf += (i ? "," : "") + normalized[i];
    leaf += ']';
  }
  return package_cache / normalize_package_name(name) / leaf;
}

bool PackageManager::is_cached(const fs::path& entry) const {
  std::error_code ec;
  return fs::exists(entry / kMarkerFile, ec);
}

std::chrono::milliseconds PackageManager::install_time_limit() const {
  double seconds = 600;
  if (settings_manager) {
    json::value v = settings_manager->get(kTimeLimitKey, json::value(600));
    if (v.is_number()) seconds = v.to_number<double>();
  }
  if (!(seconds > 0)) seconds = 600;
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::min(seconds, 86400.0) * 1000));
}

std::unique_ptr<InstallStream> PackageManager::install_package_to_cache(std::string name, std::string version,
                                                                        std::vector<std::string> extras,
                                                                        const std::map<std::string, std::string>* env_overrides) {
  auto impl = std::make_unique<InstallStream::Impl>();
  impl->shared = shared_;
  impl->invalid = validate_package_request(name, version, extras);
  if (impl->invalid.empty()) {
    impl->requirement = requirement_text(name, version, extras);
    impl->entry = entry_path(name, version, extras);
    impl->argv_head = {python_executable, "-m", "pip", "install", "--no-deps", "--no-input",
                       "--disable-pip-version-check"};
    try {
      impl->index_args = pip_index_arguments(settings_manager);
    } catch (const std::exception& e) {
      impl->invalid = std::string("Invalid package index settings: ") + e.what();
    }
    impl->time_limit = install_time_limit();
    json::array extras_json;
    for (const auto& e : extras) extras_json.emplace_back(e);
    impl->marker = json::object{{"name", name}, {"version", version}, {"extras", std::move(extras_json)}};
    if (env_overrides) impl->env = platform::environment_with(*env_overrides);
  }
  return std::unique_ptr<InstallStream>(new InstallStream(std::move(impl)));
}

indexscout::Indexscout& PackageManager::index() {
  if (!index_) {
    indexscout::IndexscoutOptions options;
    options.python_executable = python_executable;
    options.worker_pool = &pool();
    index_ = std::make_unique<indexscout::Indexscout>(settings_manager, options);
  }
  return *index_;
}

asio::thread_pool& PackageManager::pool() {
  if (!pool_) pool_ = std::make_unique<asio::thread_pool>(2);
  return *pool_;
}

ProcessRegistry& PackageManager::processes() { return shared_->registry; }

void PackageManager::kill_installers() {
  shared_->stopping = true;
  shared_->registry.kill_all();
}

bool PackageManager::stopping() const { return shared_->stopping; }

}  // namespace corvane
