#include "packages/dependency_resolver.hpp"

#include "services/logging.hpp"
#include "services/pipe_process.hpp"
#include "services/platform.hpp"

#include "indexscout/indexscout.hpp"
#include "indexscout/requirement.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/parse.hpp>


#include <atomic>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

// GCC 12 takes Asio's coroutine-frame allocator (aligned_alloc behind the frame's own operator
// new and delete) for a mismatched pair when it inlines it into a large frame.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace corvane {

namespace asio = boost::asio;
namespace json = boost::json;
namespace fs = std::filesystem;
using asio::awaitable;

namespace {

const logging::Logger& resolver_log() {
  static logging::Logger logger = logging::get_logger("business_layer.packages.dependency_resolver");
  return logger;
}

std::string requirement_text(const PackageSpec& spec) {
  std::string text = spec.name;
  if (!spec.extras.empty()) {
    text += '[';
    for (std::size_t i = 0; i < spec.extras.size(); ++i) text += (i ? "," : "") + spec.extras[i];
    text += ']';
  }
  return text + "==" + spec.version;
}

std::string text_of(const json::object& o, std::string_view key) {
  const json::value* v = o.if_contains(key);
  return v && v->is_string() ? std::string(v->get_string()) : std::string();
}

std::vector<std::string> strings_of(const json::object& o, std::string_view key) {
  std::vector<std::string> out;
  const json::value* v = o.if_contains(key);
  if (!v || !v->is_array()) return out;
  for (const auto& item : v->get_array())
    if (item.is_string()) out.emplace_back(item.get_string());
  return out;
}

// Every extra a marker names (`extra == "x"`, either quote, any spacing), normalised.
std::set<std::string> marker_extras(const std::string& markers) {
  static const std::regex pattern(R"(extra\s*==\s*['"]([^'"]+)['"])");
  std::set<std::string> out;
  for (std::sregex_iterator it(markers.begin(), markers.end(), pattern), end; it != end; ++it)
    out.insert(normalize_package_name((*it)[1].str()));
  return out;
}

}  // namespace

DependencyResolver::DependencyResolver(PackageManager& pm)
    : settings_manager(pm.settings_manager), package_cache(pm.package_cache), package_manager_(pm) {}

Resolution DependencyResolver::read_report(const json::value& report, const std::vector<PackageSpec>& specs) {
  Resolution out;
  out.success = true;
  const json::object* root = report.if_object();
  const json::value* install = root ? root->if_contains("install") : nullptr;
  if (!install || !install->is_array()) {
    out.success = false;
    out.errors.push_back("The resolver's report lists no packages");
    return out;
  }
  std::map<std::string, const PackageSpec*> requested;
  for (const auto& spec : specs) requested.emplace(normalize_package_name(spec.name), &spec);

  struct Node {
    std::vector<std::string> requires_dist;
  };
  std::map<std::string, Node> nodes;  // normalised name -> metadata
  std::vector<std::string> order;     // normalised names in report order
  for (const auto& item : install->get_array()) {
    const json::object* o = item.if_object();
    const json::value* md = o ? o->if_contains("metadata") : nullptr;
    if (!md || !md->is_object()) continue;
    const json::object& metadata = md->get_object();
    std::string name = text_of(metadata, "name");
    std::string key = normalize_package_name(name);
    if (name.empty() || nodes.count(key)) continue;
    nodes[key].requires_dist = strings_of(metadata, "requires_dist");
    order.push_back(key);

    ResolvedPackage pkg;
    auto direct = requested.find(key);
    const json::value* flag = o->if_contains("requested");
    pkg.is_direct = (flag && flag->is_bool() && flag->get_bool()) || direct != requested.end();
    if (direct != requested.end()) {
      pkg.spec = *direct->second;
      pkg.spec.from_dist = false;
    } else {
      pkg.spec.name = name;
      pkg.spec.version = text_of(metadata, "version");
    }
    out.packages.push_back(std::move(pkg));
  }

  // source: walk each direct package's requirements within the resolved set, following a
  // requirement guarded by an extra only when that extra is active on the package.
  std::map<std::string, std::size_t> index_of;
  for (std::size_t i = 0; i < order.size(); ++i) index_of[order[i]] = i;
  for (const auto& spec : specs) {
    const std::string root_key = normalize_package_name(spec.name);
    if (!index_of.count(root_key)) continue;
    std::set<std::string> root_extras;
    for (const auto& e : spec.extras) root_extras.insert(normalize_package_name(e));
    std::set<std::pair<std::string, std::set<std::string>>> seen;
    std::vector<std::pair<std::string, std::set<std::string>>> stack{{root_key, root_extras}};
    std::set<std::string> reached;
    while (!stack.empty()) {
      auto current = std::move(stack.back());
      stack.pop_back();
      if (!seen.insert(current).second) continue;
      reached.insert(current.first);
      for (const auto& text : nodes[current.first].requires_dist) {
        auto dep = indexscout::requirement::parse(text);
        if (!dep) continue;
        std::string key = normalize_package_name(dep->name);
        if (!index_of.count(key)) continue;
        std::set<std::string> guards = marker_extras(dep->markers);
        bool active = guards.empty();
        for (const auto& g : guards) active = active || current.second.count(g);
        if (!active) continue;
        std::set<std::string> extras;
        for (const auto& e : dep->extras) extras.insert(normalize_package_name(e));
        stack.emplace_back(key, std::move(extras));
      }
    }
    for (const auto& key : reached) {
      auto& source = out.packages[index_of[key]].source;
      if (std::find(source.begin(), source.end(), spec.name) == source.end()) source.push_back(spec.name);
    }
  }
  return out;
}

void DependencyResolver::read_failure(const std::vector<std::string>& lines, Resolution& out) {
  bool in_conflict = false;
  for (const auto& line : lines) {
    if (line.rfind("ERROR: ", 0) == 0) {
      out.errors.push_back(line.substr(7));
      in_conflict = false;
    } else if (line.find("The conflict is caused by:") != std::string::npos) {
      in_conflict = true;
    } else if (in_conflict) {
      std::string_view text = line;
      while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
      if (text.empty()) in_conflict = false;
      else out.conflicts.emplace_back(text);
    }
  }
  // The cause of a conflict, next to pip's one-line verdict.
  for (const auto& conflict : out.conflicts) out.errors.push_back("Version conflict: " + conflict);
  if (out.errors.empty()) {
    // Not pip's own error (no pip, no interpreter): its last words.
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
      if (!it->empty() && it->find_first_not_of(" \t") != std::string::npos) {
        out.errors.push_back(*it);
        break;
      }
  }
}

awaitable<Resolution> DependencyResolver::resolve(std::vector<PackageSpec> specs) {
  Resolution out;
  if (specs.empty()) {
    out.success = true;
    co_return out;
  }
  for (const auto& spec : specs) {
    if (auto error = validate_package_request(spec.name, spec.version, spec.extras); !error.empty())
      out.errors.push_back(error);
  }
  if (!out.errors.empty()) co_return out;
  if (package_manager_.stopping()) {
    out.errors.push_back("The server is stopping");
    co_return out;
  }

  static std::atomic<unsigned> counter{0};
  const fs::path report_file = fs::temp_directory_path() / ("corvane-resolve-" + std::to_string(corvane::platform::process_id()) + "-" +
                                                            std::to_string(counter++) + ".json");
  struct RemoveFile {
    fs::path path;
    ~RemoveFile() {
      std::error_code ec;
      fs::remove(path, ec);
    }
  } remove_report{report_file};

  std::vector<std::string> argv = {package_manager_.python_executable, "-m", "pip", "install", "--dry-run",
                                   "--ignore-installed", "--no-input", "--disable-pip-version-check", "--report",
                                   corvane::platform::path_to_utf8(report_file)};
  try {
    auto index_args = pip_index_arguments(settings_manager);
    argv.insert(argv.end(), index_args.begin(), index_args.end());
  } catch (const std::exception& e) {
    out.errors.push_back(std::string("Invalid package index settings: ") + e.what());
    co_return out;
  }
  for (const auto& spec : specs) argv.push_back(requirement_text(spec));

  PipeProcess::Options options;
  options.time_limit = package_manager_.install_time_limit();
  options.registry = &package_manager_.processes();
  std::unique_ptr<PipeProcess> process;
  try {
    process = std::make_unique<PipeProcess>(co_await asio::this_coro::executor, argv, options);
  } catch (const std::exception& e) {
    out.errors.push_back("Cannot start the resolver: " + std::string(e.what()));
    co_return out;
  }
  std::vector<std::string> lines;
  while (auto line = co_await process->next_line()) lines.push_back(std::move(line->text));
  int status = co_await process->wait();
  if (process->timed_out()) {
    out.errors.push_back("Resolving took longer than " +
                         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(options.time_limit).count()) +
                         " s; the resolver was stopped");
    co_return out;
  }
  if (!corvane::process::succeeded(status)) {
    read_failure(lines, out);
    if (out.errors.empty()) out.errors.push_back("pip exited with wait status " + std::to_string(status));
    co_return out;
  }

  json::value report;
  {
    std::ifstream in(report_file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    boost::system::error_code ec;
    report = json::parse(text.str(), ec);
    if (ec) {
      out.errors.push_back("Cannot read the resolver's report: " + ec.message());
      co_return out;
    }
  }
  out = read_report(report, specs);
  if (!out.success) co_return out;

  // from_dist: what the kernels' environment already holds (read once per resolution, off the
  // loop: it runs the interpreter).
  std::vector<PackageSpec> checks;
  for (const auto& p : out.packages) checks.push_back(p.spec);
  auto check = [settings = settings_manager, python = package_manager_.python_executable,
                checks = std::move(checks)]() -> awaitable<std::vector<bool>> {
    std::vector<bool> found(checks.size(), false);
    try {
      indexscout::IndexscoutOptions options;
      options.python_executable = python;
      indexscout::Indexscout environment(settings, options);
      for (std::size_t i = 0; i < checks.size(); ++i) {
        std::optional<std::vector<std::string>> extras;
        if (!checks[i].extras.empty()) extras = checks[i].extras;
        found[i] = environment.check_specifier_in_dist(checks[i].name, "==" + checks[i].version, extras).has_value();
      }
    } catch (const std::exception& e) {
      resolver_log()->warn("Cannot read the kernels' environment: {}", e.what());
      std::fill(found.begin(), found.end(), false);
    }
    co_return found;
  };
  auto checked = asio::co_spawn(package_manager_.pool().get_executor(), std::move(check), asio::use_awaitable);
  std::vector<bool> found = co_await std::move(checked);
  for (std::size_t i = 0; i < found.size(); ++i) out.packages[i].spec.from_dist = found[i];
  co_return out;
}

}  // namespace corvane
