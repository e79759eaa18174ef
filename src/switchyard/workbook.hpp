#pragma once
// Everything the server keeps about one workbook, in one place.
//
// Life of an entry (Workbooks below owns them all):
// - created on the first use of its workbook id by anyone: the add-in's connection hook, a
//   message of an editor or a kernel naming the workbook, a kernel started for it;
// - the add-in's disconnect stops the kernel process (`kernel` is cleared) and keeps everything
//   else: a reloaded add-in or a reconnecting editor finds the caches as they were, and the
//   add-in's next connection hook fetches modules, functions, packages and events afresh (and
//   starts the kernel's supervision afresh);
// - the kernel's disconnect drops the kernel's own view of the workbook (`win32_tree`,
//   `win32_definitions`);
// - entries are never dropped otherwise: they live until the server stops.
//
// Only the loop's thread touches a Workbook, between waiting points; nothing here locks.
#include "switchyard/common.hpp"
#include "switchyard/handler_registry.hpp"

#include "services/clock.hpp"
#include "services/process.hpp"

#include <cstdint>
#include <optional>

namespace switchyard {

struct PackageRuns;
struct KernelControl;

// One cached module: its code and the code's SHA-256, computed once when the code is stored.
struct CachedModule {
  std::string code;
  std::string hash;
};
using ModuleTable = OrderedMap<CachedModule>;

struct Workbook {
  std::string id;

  // ---- modules and the code the kernel holds
  ModuleTable modules;
  // Bumped on every change of `modules` (0: never changed); lets the incremental push skip its
  // comparison when nothing changed since the last complete one.
  std::uint64_t module_generation = 0;
  // The generation the kernel was last found to hold completely; none until a push compared.
  std::optional<std::uint64_t> synced_generation;
  // Module name -> hash of the code last pushed to the kernel.
  StringMap<std::string> synced_hashes;

  // ---- published functions: the server-form entries, null until the workbook's list is known
  json::value published_functions;

  // ---- event handlers: the add-in's object tree and event definitions (absent until sent),
  // and the handler bindings; the win32_ ones are the kernel's COM level
  std::optional<json::object> tree;
  std::optional<json::object> definitions;
  HandlerRegistry handlers;
  std::optional<json::object> win32_tree;
  std::optional<json::object> win32_definitions;
  HandlerRegistry win32_handlers;

  // ---- packages and import paths (each null until first set)
  json::value packages;            // the workbook's list, with each entry's status
  json::value installed_packages;  // the list as the last install run left it
  json::value resolved_deps;
  json::value package_paths;       // cache folders handed to the kernel
  json::value package_errors;      // package key -> error text
  json::value package_stderr;      // package key -> installer's error output
  json::value python_paths;        // the workbook's own import paths
  // Install runs, one at a time.
  std::shared_ptr<PackageRuns> package_runs;

  // ---- the kernel process started for the workbook (null: none; it may have exited), the
  // times of its crashes within the last minute, whether the supervisor gave up restarting it,
  // and the turns of its kills and restarts
  std::shared_ptr<corvane::process::Child> kernel;
  std::vector<corvane::Clock::time_point> kernel_crashes;
  bool kernel_restarts_given_up = false;
  std::shared_ptr<KernelControl> kernel_control;
};

// Every workbook the server knows, by id.
class Workbooks {
 public:
  // The workbook's entry, created when there is none.
  Workbook& at(std::string_view workbook_id) {
    auto it = map_.find(workbook_id);
    if (it == map_.end()) {
      it = map_.emplace(std::string(workbook_id), std::make_unique<Workbook>()).first;
      it->second->id = it->first;
    }
    return *it->second;
  }
  // The entry, or null when the workbook was never seen.
  Workbook* find(std::string_view workbook_id) {
    auto it = map_.find(workbook_id);
    return it == map_.end() ? nullptr : it->second.get();
  }
  const Workbook* find(std::string_view workbook_id) const {
    auto it = map_.find(workbook_id);
    return it == map_.end() ? nullptr : it->second.get();
  }
  auto begin() const { return map_.begin(); }
  auto end() const { return map_.end(); }

 private:
  // Entries stay where they are while the map grows: handlers hold references across waits.
  StringMap<std::unique_ptr<Workbook>> map_;
};

}  // namespace switchyard
