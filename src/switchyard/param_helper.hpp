#pragma once
// The parameter helper: a long-lived process of the kernels' own interpreter that reads module
// sources with CPython's parser (python/corvane_signatures/signatures.py), so that the
// parameters a workbook publishes are exactly those its kernel sees.
//
// One JSON line per request and per answer over pipes read on the server's loop. The process
// runs in its own process group, starts on first use, is started again after it died, and has a
// time limit per request. Answers are kept per code hash (least recently used go first), so
// every version of a module is parsed once. Nothing here blocks the loop or throws at callers.
#include "switchyard/common.hpp"

#include <chrono>
#include <cstdint>

namespace switchyard {

struct FunctionDefinition {
  std::string name;  // as the parser gives it (NFKC-normalised)
  bool is_async = false;
  std::vector<std::string> parameters;  // positional-or-keyword parameters, in order
};

// What the helper found in one source.
struct SourceDefinitions {
  enum class Outcome {
    parsed,        // `functions` holds every definition, in ast.walk order
    syntax_error,  // the source does not parse; `error` is the parser's text
    error,         // parsing failed otherwise; `error` is the exception's text
    unavailable,   // no answer (no interpreter, the helper died or ran out of time); never cached
  };
  Outcome outcome = Outcome::parsed;
  std::string error;
  std::vector<FunctionDefinition> functions;
};
using DefinitionsPtr = std::shared_ptr<const SourceDefinitions>;

// One source handed to the helper; await it with ParameterHelper::wait.
struct HelperRequest;
using HelperTicket = std::shared_ptr<HelperRequest>;

class ParameterHelper {
 public:
  // `command`: the helper's argv (see default_command).
  ParameterHelper(asio::any_io_executor executor, std::vector<std::string> command);
  // Stops the process.
  ~ParameterHelper();
  ParameterHelper(const ParameterHelper&) = delete;
  ParameterHelper& operator=(const ParameterHelper&) = delete;

  // `python` running the helper script of this installation, isolated from the user's
  // environment and site packages (it needs the standard library only).
  static std::vector<std::string> default_command(const std::string& python);

  // Hands `code` (whose SHA-256 is `code_hash`) to the helper without waiting: a caller with
  // several sources requests them all first, and the helper works through them meanwhile.
  // Answers from the cache, and requests for a source already on its way, need no new work.
  HelperTicket request(std::string_view code_hash, std::string_view code);
  // The answer. Throws only when the awaiting task is cancelled.
  awaitable<DefinitionsPtr> wait(HelperTicket ticket);
  // request + wait.
  awaitable<DefinitionsPtr> definitions(std::string code_hash, std::string code);

  // Kills the process; requests still waiting get an `unavailable` answer. No new process
  // starts afterwards.
  void stop();

  void set_cache_limits(std::size_t max_entries, std::size_t max_bytes);

  struct Stats {
    std::size_t starts = 0;      // processes started
    std::size_t parses = 0;      // sources sent to a process
    std::size_t cache_hits = 0;  // answers taken from the cache
    std::size_t cached = 0;      // entries in the cache now
  };
  Stats stats() const;
  // Process id of the running helper; 0 when none runs.
  int pid() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace switchyard
