// A workbook's packages: the install workflow and the package and path state of the editors.
#include "switchyard/packages.hpp"

#include "switchyard/handlers.hpp"
#include "switchyard/push_and_ask.hpp"

#include "packages/dependency_resolver.hpp"
#include "services/pipe_process.hpp"
#include "services/platform.hpp"

#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>


namespace switchyard {

using corvane::InstallEvent;
using corvane::PackageSpec;
using corvane::ResolvedPackage;

// Runs of one workbook, one at a time (see handle_workbook_packages_install).
struct PackageRuns {
  explicit PackageRuns(asio::any_io_executor ex) : changed(ex) {}
  bool running = false;
  std::uint64_t started = 0;
  std::uint64_t finished = 0;
  std::size_t waiting = 0;
  corvane::Notifier changed;
};

namespace {

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string lowered(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// An entry's fields as the workflow reads them.
std::string entry_name(const json::object& entry) { return std::string(get_str(entry, "name")); }

std::vector<std::string> entry_extras(const json::object& entry) {
  std::vector<std::string> out;
  if (const auto* v = entry.if_contains("extras"); v && v->is_array())
    for (const auto& e : v->get_array()) out.push_back(e.is_string() ? std::string(e.get_string()) : py_str(e));
  return out;
}

// The entry's name and version as a peer sent them, for error texts about wrong types.
std::string entry_text(const json::object& entry, std::string_view key) {
  const json::value* v = entry.if_contains(key);
  if (!v) return {};
  return v->is_string() ? std::string(v->get_string()) : py_str(*v);
}

std::string extras_text(const std::vector<std::string>& extras) {
  if (extras.empty()) return {};
  std::string out = "[";
  for (std::size_t i = 0; i < extras.size(); ++i) out += (i ? "," : "") + extras[i];
  return out + "]";
}

json::object resolved_record(const ResolvedPackage& p) {
  json::object o;
  o["name"] = p.spec.name;
  o["version"] = p.spec.version;
  o["extras"] = string_array(p.spec.extras);
  o["is_direct"] = p.is_direct;
  o["from_dist"] = p.spec.from_dist;
  o["source"] = string_array(p.source);
  o["is_error"] = p.is_error;
  return o;
}

bool is_cancelled(asio::cancellation_state state) { return state.cancelled() != asio::cancellation_type::none; }

// The server is stopping: its installers were killed, so what they report is no package's fault.
struct ServerStopping : std::runtime_error {
  ServerStopping() : std::runtime_error("the server is stopping") {}
};

// One package that failed to install.
struct Failure {
  std::size_t package = 0;  // index into the resolved packages
  std::string error;
  bool is_direct = false;
};

class InstallRun {
 public:
  InstallRun(Server& server, std::string workbook_id)
      : server_(server),
        m_(server.manager),
        book_(server.workbooks.at(workbook_id)),
        installer_(*server.package_handlers.package_manager),
        wb_(std::move(workbook_id)),
        log_(server.logger) {}

  awaitable<void> run();
  // Whatever way the run ended: entries it left mid-way go back to "pending".
  bool restore_interrupted_entries();

 private:
  // ---- stores of the workbook
  json::array* packages() { return workbook_package_list(book_); }
  static json::object& object_in(json::value& v) {
    if (!v.is_object()) v = json::object();
    return v.get_object();
  }
  json::object& errors() { return object_in(book_.package_errors); }
  json::object& stderr_lines() { return object_in(book_.package_stderr); }
  void set_status(std::string_view name, std::string_view status) {
    if (json::array* list = packages())
      if (json::object* entry = _find_package_by_name(*list, name)) (*entry)["status"] = status;
  }
  void record_package_error(const std::string& failed_package, const std::string& error_msg,
                            const std::string* direct_package = nullptr);
  void store_resolved();

  // ---- messages
  awaitable<void> broadcast_update(bool with_errors = true);
  awaitable<void> pip_output(std::string_view output_type, std::string message);
  awaitable<void> send_to(std::string_view client_type, json::object message);

  std::string label(const ResolvedPackage& p) const {
    return p.spec.name + extras_text(p.spec.extras) + "==" + p.spec.version;
  }
  std::string key_of(const ResolvedPackage& p) const {
    return _get_package_key(p.spec.name, p.spec.version, p.spec.extras);
  }

  // ---- the steps of a run
  awaitable<json::array> unload_previous_paths();
  awaitable<void> drop_entries_marked_for_removal();
  awaitable<void> announce_nothing_to_install();
  std::vector<PackageSpec> take_on_entries(json::array& list);
  awaitable<bool> resolve(const std::vector<PackageSpec>& specs);
  awaitable<void> install(std::size_t index);
  awaitable<void> handle_failure(std::size_t index, std::string error);
  awaitable<void> retry();
  void forget_errors_of(const ResolvedPackage& pkg, bool is_direct);
  awaitable<void> report_failures();
  void settle_statuses();
  awaitable<void> hand_paths_to_kernel(const json::array& old_paths);
  awaitable<void> save_list_and_finish();

  // One installer run into the cache: its events are collected (and, when `echo` is set, shown
  // on the editors' consoles as they come). Throws only when the task is cancelled or the server
  // stops; any other failure is the outcome's `raised`.
  struct InstallOutcome {
    std::optional<std::string> path;
    bool cached = false;
    std::optional<std::string> error;
    std::optional<std::string> raised;
  };
  awaitable<InstallOutcome> install_to_cache(const ResolvedPackage& pkg,
                                             const std::map<std::string, std::string>* env_overrides, bool echo);

  Server& server_;
  ConnectionManager& m_;
  Workbook& book_;
  corvane::PackageManager& installer_;
  std::string wb_;
  Logger log_;
  std::vector<ResolvedPackage> resolved_;
  std::vector<std::string> installed_paths_;
  std::vector<Failure> failures_;
  // Entries this run took on (lower-cased names); later additions are left for the next run.
  std::set<std::string> run_entries_;
  // Entries refused before resolution (name -> error text); they stay "error".
  std::vector<std::pair<std::string, std::string>> rejected_;
};

void InstallRun::record_package_error(const std::string& failed_package, const std::string& error_msg,
                                      const std::string* direct_package) {
  const std::string& target = direct_package ? *direct_package : failed_package;
  json::object& errs = errors();
  json::value& list = errs[target];
  if (!list.is_array()) list = json::array();
  if (direct_package && *direct_package != failed_package)
    list.get_array().emplace_back("Dependency '" + failed_package + "':\n" + error_msg);
  else
    list.get_array().emplace_back(error_msg);
}

void InstallRun::store_resolved() {
  json::array records;
  for (const auto& p : resolved_) records.emplace_back(resolved_record(p));
  book_.resolved_deps = std::move(records);
}

awaitable<void> InstallRun::broadcast_update(bool with_errors) {
  json::object message;
  message["type"] = "workbook_packages_update";
  message["workbook_id"] = wb_;
  json::array* list = packages();
  message["packages"] = list ? *list : json::array();
  if (with_errors) message["package_errors"] = errors();
  co_await m_.broadcast("ide", message);
}

awaitable<void> InstallRun::pip_output(std::string_view output_type, std::string text) {
  json::object message;
  message["type"] = "pip_output";
  message["workbook_id"] = wb_;
  message["output_type"] = output_type;
  message["message"] = std::move(text);
  co_await m_.broadcast("ide", message);
}

awaitable<void> InstallRun::send_to(std::string_view client_type, json::object message) {
  try {
    co_await m_.send_message(client_type, wb_, message);
  } catch (const PeerClosedError& e) {
    log_->debug("{} {} went away during the package installation: {}", client_type, wb_, e.what());
  }
}

awaitable<void> InstallRun::run() {
  json::array* list = packages();
  if (!list || list->empty()) {
    log_->info("No packages to install for workbook {}", wb_);
    co_return;
  }
  json::array old_paths = co_await unload_previous_paths();
  if (!packages()) co_return;
  co_await drop_entries_marked_for_removal();
  list = packages();
  if (!list || list->empty()) {
    co_await announce_nothing_to_install();
    co_return;
  }
  std::vector<PackageSpec> specs = take_on_entries(*list);
  if (!co_await resolve(specs)) co_return;
  stderr_lines();
  for (std::size_t i = 0; i < resolved_.size(); ++i) co_await install(i);
  co_await retry();
  if (!failures_.empty()) co_await report_failures();
  settle_statuses();
  co_await broadcast_update();
  co_await hand_paths_to_kernel(old_paths);
  co_await save_list_and_finish();
}

// The kernel drops what the previous run put on its path; the paths it had are returned.
awaitable<json::array> InstallRun::unload_previous_paths() {
  json::array old_paths;
  if (book_.package_paths.is_array()) old_paths = book_.package_paths.get_array();
  if (!old_paths.empty()) {
    log_->info("Unloading modules from {} paths for workbook {}", old_paths.size(), wb_);
    json::object unload{{"type", "unload_and_clear_paths"}, {"paths", old_paths}};
    co_await send_to("kernel", unload);
    book_.package_paths = json::array();
  }
  co_return old_paths;
}

awaitable<void> InstallRun::drop_entries_marked_for_removal() {
  json::array kept;
  std::size_t removed = 0;
  for (auto& entry : *packages()) {
    const json::object* o = entry.if_object();
    if (o && get_str(*o, "status") == "to_remove") ++removed;
    else kept.push_back(entry);
  }
  book_.package_errors = json::object();
  if (removed > 0) {
    book_.packages = std::move(kept);
    log_->info("Removed {} packages marked for removal", removed);
    co_await broadcast_update();
  }
}

awaitable<void> InstallRun::announce_nothing_to_install() {
  log_->info("No packages to install after removing marked packages for workbook {}", wb_);
  json::object save{{"type", "save_workbook_packages"}, {"packages", json::array()}};
  co_await send_to("addin", save);
  json::object complete{{"type", "package_installation_complete"},
                        {"workbook_id", wb_},
                        {"message", "✓ All packages removed. No packages to install."}};
  co_await m_.broadcast("ide", complete);
}

// Every entry is being resolved. Entries a peer sent with a bad name, version or extra never
// reach the resolver or the cache: each is that package's error.
std::vector<PackageSpec> InstallRun::take_on_entries(json::array& list) {
  std::vector<PackageSpec> specs;
  for (auto& value : list) {
    if (!value.is_object()) continue;
    json::object& entry = value.get_object();
    entry["status"] = "resolving";
    std::string name = entry_name(entry);
    const json::value* version = entry.if_contains("version");
    std::vector<std::string> extras = entry_extras(entry);
    const json::value* raw_extras = entry.if_contains("extras");
    std::string error;
    if (!entry.if_contains("name") || !entry.at("name").is_string())
      error = corvane::validate_package_name(entry_text(entry, "name"));
    else if (!version || !version->is_string())
      error = corvane::validate_package_version(name, entry_text(entry, "version"));
    else if (raw_extras && !raw_extras->is_array() && !raw_extras->is_null())
      error = "Invalid extras " + py_str(*raw_extras) + " for package '" + name + "'";
    else
      error = corvane::validate_package_request(name, version->get_string(), extras);
    if (error.empty()) {
      for (const auto& s : specs)
        if (iequals(s.name, name)) error = "Package '" + name + "' is listed twice";
    }
    if (!error.empty()) {
      entry["status"] = "error";
      rejected_.emplace_back(entry_text(entry, "name"), error);
      continue;
    }
    run_entries_.insert(lowered(name));
    specs.push_back(PackageSpec{name, std::string(version->get_string()), std::move(extras)});
  }
  for (const auto& [name, error] : rejected_) record_package_error(name, error);
  return specs;
}

// Resolves the packages as one tree; false when that failed (every entry is then "error").
awaitable<bool> InstallRun::resolve(const std::vector<PackageSpec>& specs) {
  co_await broadcast_update();
  for (const auto& [name, error] : rejected_) co_await pip_output("error", error);

  corvane::DependencyResolver resolver(installer_);
  log_->info("Resolving dependencies for {} packages in workbook {}", specs.size(), wb_);
  co_await pip_output("stdout", "Resolving dependencies for " + std::to_string(specs.size()) + " package(s)...");
  corvane::Resolution resolution = co_await resolver.resolve(specs);
  if (installer_.stopping()) throw ServerStopping();

  if (!resolution.success) {
    log_->error("Dependency resolution failed for workbook {}: {}", wb_, py_str(string_array(resolution.errors)));
    if (json::array* current = packages())
      for (auto& value : *current)
        if (value.is_object()) value.get_object()["status"] = "error";
    co_await broadcast_update(false);
    for (const auto& error : resolution.errors) co_await pip_output("error", error);
    co_return false;
  }

  resolved_ = std::move(resolution.packages);
  store_resolved();
  co_await pip_output("success", "Resolved " + std::to_string(resolved_.size()) + " package(s) including dependencies");
  if (!resolution.conflicts.empty()) {
    log_->warn("Found {} version conflicts: {}", resolution.conflicts.size(), py_str(string_array(resolution.conflicts)));
    for (const auto& conflict : resolution.conflicts) co_await pip_output("warning", "WARNING: Version conflict: " + conflict);
  }
  co_return true;
}

// The final status of each entry this run took on.
void InstallRun::settle_statuses() {
  json::array* current = packages();
  if (!current) return;
  const json::object& errs = errors();
  for (auto& value : *current) {
    if (!value.is_object()) continue;
    json::object& entry = value.get_object();
    if (!run_entries_.count(lowered(entry_name(entry)))) continue;
    std::string_view status = get_str(entry, "status");
    if (status == "installing" || status == "resolving" || status == "pending" || status == "pending_update")
      entry["status"] = errs.contains(entry_name(entry)) ? "installed_with_errors" : "installed";
  }
}

awaitable<void> InstallRun::hand_paths_to_kernel(const json::array& old_paths) {
  json::array new_paths = string_array(installed_paths_);
  book_.package_paths = new_paths;
  if (new_paths.empty()) co_return;
  json::object set_paths{{"type", "set_package_paths"}, {"old_paths", old_paths}, {"new_paths", new_paths}};
  co_await send_to("kernel", set_paths);
  log_->info("Sent {} package paths to kernel for workbook {}", new_paths.size(), wb_);
  json::object updated{
      {"type", "package_paths_updated"}, {"workbook_id", wb_}, {"paths", new_paths}, {"old_paths", old_paths}};
  co_await m_.broadcast("ide", updated);
}

awaitable<void> InstallRun::save_list_and_finish() {
  json::array* current = packages();
  json::array saved = current ? *current : json::array();
  const std::size_t count = saved.size();
  std::size_t installed = 0;
  for (const auto& value : saved)
    if (value.is_object() && get_str(value.get_object(), "status").starts_with("installed")) ++installed;
  json::object save{{"type", "save_workbook_packages"}, {"packages", std::move(saved)}};
  co_await send_to("addin", save);
  log_->info("Sent package list to Add-in for persistence: {} packages", count);

  json::object complete{
      {"type", "package_installation_complete"},
      {"workbook_id", wb_},
      {"message", "✓ Installation complete. " + std::to_string(installed) + " package(s) installed."}};
  co_await m_.broadcast("ide", complete);
}

awaitable<InstallRun::InstallOutcome> InstallRun::install_to_cache(const ResolvedPackage& pkg,
                                                                   const std::map<std::string, std::string>* env_overrides,
                                                                   bool echo) {
  const std::string& name = pkg.spec.name;
  const std::string& version = pkg.spec.version;
  const std::string extras = extras_text(pkg.spec.extras);
  const std::string key = key_of(pkg);
  InstallOutcome outcome;
  std::exception_ptr raised;
  try {
    auto stream = installer_.install_package_to_cache(name, version, pkg.spec.extras, env_overrides);
    while (std::optional<InstallEvent> event = co_await stream->next()) {
      if (event->type == "path") {
        outcome.path = event->data;
      } else if (event->type == "cached") {
        outcome.cached = true;
      } else if (event->type == "stderr") {
        json::value& lines = stderr_lines()[key];
        if (!lines.is_array()) lines = json::array();
        lines.get_array().emplace_back(event->data);
        if (echo) co_await pip_output("stderr", event->data);
      } else if (event->type == "stdout") {
        if (echo) co_await pip_output("stdout", event->data);
      } else if (event->type == "success") {
        if (!echo) continue;
        const std::string where = outcome.path.value_or("None");
        if (outcome.cached) co_await pip_output("cached", "Using cached " + name + extras + "==" + version + " from " + where);
        else co_await pip_output("success", "Installed " + name + extras + "==" + version + " to " + where);
      } else if (event->type == "error") {
        outcome.error = event->data;
        if (echo) log_->error("Error installing {}: {}", name, event->data);
      }
    }
  } catch (const std::exception& e) {
    raised = std::current_exception();
    outcome.raised = e.what();
  }
  if (raised && is_cancelled(co_await asio::this_coro::cancellation_state)) std::rethrow_exception(raised);
  if (installer_.stopping()) throw ServerStopping();
  co_return outcome;
}

awaitable<void> InstallRun::install(std::size_t index) {
  const ResolvedPackage pkg = resolved_[index];
  const std::string& name = pkg.spec.name;
  const std::string& version = pkg.spec.version;
  const std::string extras = extras_text(pkg.spec.extras);

  // Satisfied by the kernels' environment.
  if (pkg.spec.from_dist) {
    log_->info("Skipping {}=={} (from current environment)", name, version);
    co_await pip_output("success", "✓ " + name + extras + "==" + version + " (from current environment)");
    if (pkg.is_direct) {
      json::array* list = packages();
      if (list && _find_package_by_name(*list, name)) {
        set_status(name, "installed");
        co_await broadcast_update();
      }
    }
    co_return;
  }

  stderr_lines()[key_of(pkg)] = json::array();
  if (pkg.is_direct) {
    json::array* list = packages();
    if (list && _find_package_by_name(*list, name)) {
      set_status(name, "installing");
      co_await broadcast_update();
    }
  }
  co_await pip_output("stdout", "Processing " + name + extras + "==" + version + "...");

  InstallOutcome outcome = co_await install_to_cache(pkg, nullptr, true);
  if (outcome.raised) {
    log_->error("Error installing {}: {}", name, *outcome.raised);
    co_await handle_failure(index, *outcome.raised);
    co_return;
  }
  if (outcome.path) {
    installed_paths_.push_back(*outcome.path);
    log_->info("Installed {}=={} to {}", name, version, *outcome.path);
  } else if (outcome.error) {
    co_await handle_failure(index, *outcome.error);
  }
}

awaitable<void> InstallRun::handle_failure(std::size_t index, std::string error) {
  const ResolvedPackage& pkg = resolved_[index];
  failures_.push_back(Failure{index, error, pkg.is_direct});
  if (pkg.is_direct) {
    record_package_error(pkg.spec.name, error);
  } else {
    for (const auto& direct : pkg.source) record_package_error(pkg.spec.name, error, &direct);
  }
  if (pkg.is_direct) set_status(pkg.spec.name, "error");
  co_await pip_output("error", label(pkg) + ": " + error);
}

awaitable<void> InstallRun::retry() {
  for (int round = 0; round < 10 && !failures_.empty(); ++round) {
    const std::size_t before = failures_.size();
    // What installed so far goes before the server's own import path.
    std::vector<std::string> python_path = installed_paths_;
    python_path.push_back(corvane::platform::get_env("PYTHONPATH").value_or(""));
    std::map<std::string, std::string> env{{"PYTHONPATH", corvane::platform::join_path_list(python_path)}};
    json::object retrying{
        {"type", "pip_output"},
        {"workbook_id", wb_},
        {"message", "Retrying " + std::to_string(before) + " failed package(s) with enhanced environment..."}};
    co_await m_.broadcast("ide", retrying);
    std::vector<Failure> kept;
    for (Failure record : failures_) {
      const ResolvedPackage& pkg = resolved_[record.package];
      const std::string& name = pkg.spec.name;
      const std::string key = key_of(pkg);
      stderr_lines()[key] = json::array();
      InstallOutcome outcome = co_await install_to_cache(pkg, &env, false);
      if (outcome.raised) {
        log_->error("Error retrying {}: {}", name, *outcome.raised);
        record.error = *outcome.raised;
        kept.push_back(std::move(record));
        continue;
      }
      if (!outcome.path) {
        if (outcome.error) record.error = *outcome.error;
        kept.push_back(std::move(record));
        continue;
      }
      installed_paths_.push_back(*outcome.path);
      env["PYTHONPATH"] = corvane::platform::join_path_list({*outcome.path, env["PYTHONPATH"]});
      stderr_lines().erase(key);
      forget_errors_of(pkg, record.is_direct);
      const std::string extras = extras_text(pkg.spec.extras);
      if (outcome.cached)
        co_await pip_output("cached", "Retry succeeded: " + name + extras + "==" + pkg.spec.version + " from cache " +
                                          *outcome.path);
      else
        co_await pip_output("success",
                            "Retry succeeded: " + name + extras + "==" + pkg.spec.version + " to " + *outcome.path);
      if (record.is_direct) set_status(name, "installing");
    }
    failures_ = std::move(kept);
    if (failures_.size() >= before) break;
  }
}

// A package that installed after all: its errors go, and so do its texts under the direct
// packages that need it (a list left empty goes too).
void InstallRun::forget_errors_of(const ResolvedPackage& pkg, bool is_direct) {
  json::object& errs = errors();
  if (is_direct) errs.erase(pkg.spec.name);
  const std::string prefix = "Dependency '" + pkg.spec.name + "':\n";
  for (const auto& direct : pkg.source) {
    json::value* texts = errs.if_contains(direct);
    if (!texts || !texts->is_array()) continue;
    json::array& arr = texts->get_array();
    for (std::size_t i = arr.size(); i-- > 0;)
      if (arr[i].is_string() && std::string_view(arr[i].get_string()).starts_with(prefix))
        arr.erase(arr.begin() + static_cast<std::ptrdiff_t>(i));
    if (arr.empty()) errs.erase(direct);
  }
}

awaitable<void> InstallRun::report_failures() {
  co_await pip_output("error", std::to_string(failures_.size()) + " package(s) failed to install after retries:");
  json::object fresh;
  for (const auto& [name, error] : rejected_) fresh[name] = json::array{json::value(error)};
  auto start_or_continue = [&](const std::string& name) -> json::array& {
    json::value& v = fresh[name];
    if (v.is_array()) v.get_array().emplace_back("\n");
    else v = json::array();
    return v.get_array();
  };
  for (const auto& record : failures_) {
    ResolvedPackage& pkg = resolved_[record.package];
    json::array lines;
    if (const json::value* v = stderr_lines().if_contains(key_of(pkg)); v && v->is_array()) lines = v->get_array();
    co_await pip_output("error", "  - " + label(pkg) + ": " + record.error);
    pkg.is_error = true;
    if (record.is_direct) {
      json::array& texts = start_or_continue(pkg.spec.name);
      if (lines.empty()) texts.emplace_back(record.error);
      else for (auto& l : lines) texts.push_back(l);
    } else {
      for (const auto& direct : pkg.source) {
        json::array& texts = start_or_continue(direct);
        texts.emplace_back("Dependency '" + pkg.spec.name + "':\n" + record.error);
        for (auto& l : lines) texts.push_back(l);
      }
    }
    if (record.is_direct) set_status(pkg.spec.name, "error");
  }
  book_.package_errors = std::move(fresh);
  store_resolved();
}

bool InstallRun::restore_interrupted_entries() {
  json::array* list = packages();
  if (!list) return false;
  bool changed = false;
  for (auto& value : *list) {
    if (!value.is_object()) continue;
    json::object& entry = value.get_object();
    std::string_view status = get_str(entry, "status");
    if (status == "resolving" || status == "installing") {
      entry["status"] = "pending";
      changed = true;
    }
  }
  return changed;
}

json::object packages_update_message(Workbook& wb, bool with_errors) {
  json::object message;
  message["type"] = "workbook_packages_update";
  message["workbook_id"] = wb.id;
  json::array* list = workbook_package_list(wb);
  message["packages"] = list ? *list : json::array();
  if (with_errors) message["package_errors"] = wb.package_errors.is_object() ? wb.package_errors : json::object();
  return message;
}

awaitable<void> broadcast_later(Server& server, json::object message) {
  co_await server.manager.broadcast("ide", message);
}

awaitable<void> run_package_install(Server& server, std::string workbook_id) {
  ConnectionManager& m = server.manager;
  Workbook& wb = server.workbooks.at(workbook_id);
  InstallRun run(server, workbook_id);
  std::exception_ptr failure;
  std::string failure_text;
  bool stopping = false;
  try {
    co_await run.run();
  } catch (const ServerStopping&) {
    stopping = true;
  } catch (const std::exception& e) {
    failure = std::current_exception();
    failure_text = e.what();
  } catch (...) {
    failure = std::current_exception();
    failure_text = "unknown error";
  }
  if (failure || stopping) {
    const bool cancelled = is_cancelled(co_await asio::this_coro::cancellation_state);
    const bool restored = run.restore_interrupted_entries();
    if (cancelled) {
      // Nothing may be awaited here any more: the editors hear of it from a background task.
      server.logger->info("Package installation for workbook {} was interrupted", workbook_id);
      if (restored) server.background.spawn(broadcast_later(server, packages_update_message(wb, true)));
      wb.installed_packages = workbook_package_list(wb) ? json::value(*workbook_package_list(wb)) : json::array();
      if (failure) std::rethrow_exception(failure);
      throw boost::system::system_error(asio::error::operation_aborted);
    }
    if (stopping) {
      server.logger->info("Package installation for workbook {} was interrupted", workbook_id);
      try {
        if (restored) co_await m.broadcast("ide", packages_update_message(wb, true));
      } catch (const std::exception& e) {
        server.logger->debug("Could not report the interrupted installation of {}: {}", workbook_id, e.what());
      }
    }
  }
  if (failure && !stopping) {
    server.logger->error("Package installation failed for {}: {}", workbook_id, failure_text);
    try {
      if (!wb.packages.is_null()) {
        co_await m.broadcast("ide", packages_update_message(wb, false));
        json::object failed{{"type", "pip_output"},
                            {"output_type", "error"},
                            {"workbook_id", workbook_id},
                            {"message", "Installation failed: " + failure_text}};
        co_await m.broadcast("ide", failed);
      }
    } catch (const std::exception& e) {
      server.logger->debug("Could not report the failed installation of {}: {}", workbook_id, e.what());
    }
  }
  json::array* list = workbook_package_list(wb);
  wb.installed_packages = list ? json::value(*list) : json::value(json::array());
}

}  // namespace

// ---- shared helpers ------------------------------------------------------------------------

json::object* _find_package_by_name(json::array& packages, std::string_view name) {
  for (auto& value : packages) {
    json::object* entry = value.if_object();
    if (!entry) continue;
    const json::value* n = entry->if_contains("name");
    if (n && n->is_string() && iequals(n->get_string(), name)) return entry;
  }
  return nullptr;
}

std::string _get_package_key(std::string_view name, std::string_view version, const std::vector<std::string>& extras) {
  std::string key = std::string(name) + "==" + std::string(version);
  if (!extras.empty()) {
    std::vector<std::string> sorted = extras;
    std::sort(sorted.begin(), sorted.end());
    key += '[';
    for (std::size_t i = 0; i < sorted.size(); ++i) key += (i ? "," : "") + sorted[i];
    key += ']';
  }
  return key;
}

json::array* workbook_package_list(Workbook& wb) { return wb.packages.if_array(); }

bool packages_install_running(Server& server, std::string_view workbook_id) {
  const Workbook* wb = server.workbooks.find(workbook_id);
  return wb && wb->package_runs && (wb->package_runs->running || wb->package_runs->waiting > 0);
}

// ---- the workflow ----------------------------------------------------------------------------

awaitable<void> handle_workbook_packages_install(Server& server, std::string workbook_id) {
  auto& slot = server.workbooks.at(workbook_id).package_runs;
  if (!slot) slot = std::make_shared<PackageRuns>(co_await asio::this_coro::executor);
  std::shared_ptr<PackageRuns> runs = slot;
  // This request is served by the first run that starts from now on.
  const std::uint64_t needed = runs->started + 1;
  struct Waiting {
    PackageRuns& runs;
    explicit Waiting(PackageRuns& r) : runs(r) { ++runs.waiting; }
    ~Waiting() { --runs.waiting; }
  } waiting(*runs);
  while (runs->finished < needed) {
    if (runs->running) {
      co_await runs->changed.wait();
      continue;
    }
    runs->running = true;
    ++runs->started;
    struct Ending {
      PackageRuns& runs;
      ~Ending() {
        runs.running = false;
        ++runs.finished;
        runs.changed.notify_all();
      }
    } ending{*runs};
    co_await run_package_install(server, workbook_id);
  }
}

void init_handlers(Server& server, corvane::PackageManager& package_manager, InstallWorkflow install) {
  server.package_handlers = PackageHandlerContext{&package_manager, install};
}

// ---- state sync ------------------------------------------------------------------------------

std::pair<json::array, json::array> get_packages_and_python_paths_from_addin_message(json::object& message) {
  json::array packages;
  json::array python_paths;
  if (json::value* p = message.if_contains("packages")) {
    if (json::array* list = p->if_array()) {
      for (auto& entry : *list) {
        if (json::object* o = entry.if_object()) {
          (*o)["status"] = "pending";
          packages.push_back(entry);
        }
      }
    }
  }
  if (json::value* p = message.if_contains("python_paths"); p && p->is_array()) python_paths = p->get_array();
  return {std::move(packages), std::move(python_paths)};
}

awaitable<void> _push_packages_and_python_paths(Server& server, std::string workbook_id, const json::array* packages,
                                                const json::array* python_paths, const json::object* package_errors,
                                                PeerPtr websocket) {
  static const Workbook none;
  const Workbook* found = server.workbooks.find(workbook_id);
  const Workbook& wb = found ? *found : none;
  auto stored_list = [](const json::value& v) { return v.is_array() ? v : json::value(json::array()); };
  json::object message;
  message["type"] = "workbook_packages_update";
  message["workbook_id"] = workbook_id;
  message["packages"] = packages && !packages->empty() ? json::value(*packages) : stored_list(wb.packages);
  message["python_paths"] =
      python_paths && !python_paths->empty() ? json::value(*python_paths) : stored_list(wb.python_paths);
  if (package_errors && !package_errors->empty())
    message["package_errors"] = *package_errors;
  else
    message["package_errors"] = wb.package_errors.is_object() ? wb.package_errors : json::value(json::object());
  const PushNames names{.what = "packages and python paths state", .tail = " for: " + workbook_id,
                        .failure = "Error pushing packages and python paths state"};
  co_await push(server, message, websocket, names);
}

awaitable<void> handle_client_sync_packages(Server&, std::string, json::object) {
  // The workbook's packages and paths reach the server through its answer to the package
  // request; this notice changes nothing.
  co_return;
}

}  // namespace switchyard
