// The parameter helper process: started with pipes for its standard input and output, fed one
// request line per source, its answers read on the loop.
#include "switchyard/param_helper.hpp"
#include "services/clock.hpp"

#include "services/pipe_stream.hpp"
#include "services/platform.hpp"
#include "services/process.hpp"
#include "switchyard/validation.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <list>

namespace switchyard {

namespace {

// An answer lists names only, so it is never much longer than its source; sources are capped
// well below this by the message size limit.
constexpr std::size_t kMaxAnswerBytes = 256u * 1024 * 1024;
constexpr std::string_view kHelperScript = "corvane_signatures/signatures.py";

// The helper script beside this installation's kernel program: python/ next to (or above) the
// executable, else the source tree it was built from.
std::string helper_script() {
  std::error_code ec;
  auto exe = corvane::platform::executable_path();
  if (!exe.empty()) {
    for (auto dir = exe.parent_path(); !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
      auto candidate = dir / "python" / kHelperScript;
      if (std::filesystem::exists(candidate, ec)) return corvane::platform::path_to_utf8(candidate);
    }
  }
  return std::string(SWITCHYARD_SOURCE_DIR) + "/python/" + std::string(kHelperScript);
}

DefinitionsPtr unavailable(std::string why) {
  auto out = std::make_shared<SourceDefinitions>();
  out->outcome = SourceDefinitions::Outcome::unavailable;
  out->error = std::move(why);
  return out;
}

// What an empty source holds; answered without the helper.
DefinitionsPtr empty_source() {
  static const DefinitionsPtr empty = std::make_shared<SourceDefinitions>();
  return empty;
}

std::size_t estimate_bytes(const SourceDefinitions& d) {
  std::size_t n = sizeof(SourceDefinitions) + d.error.size();
  for (const auto& f : d.functions) {
    n += sizeof(FunctionDefinition) + f.name.size();
    for (const auto& p : f.parameters) n += sizeof(std::string) + p.size();
  }
  return n;
}

bool id_equals(const json::value* v, std::uint64_t id) {
  if (!v) return false;
  if (v->is_uint64()) return v->get_uint64() == id;
  if (v->is_int64()) return v->get_int64() >= 0 && static_cast<std::uint64_t>(v->get_int64()) == id;
  return false;
}

// The helper's answer object as definitions; nullopt when it does not have the agreed shape.
std::optional<SourceDefinitions> read_answer(const json::object& answer) {
  SourceDefinitions out;
  if (const auto* functions = answer.if_contains("functions")) {
    if (!functions->is_array()) return std::nullopt;
    out.functions.reserve(functions->get_array().size());
    for (const auto& item : functions->get_array()) {
      const auto* fields = item.if_array();
      if (!fields || fields->size() != 3 || !(*fields)[0].is_string() || !(*fields)[1].is_bool() ||
          !(*fields)[2].is_array())
        return std::nullopt;
      FunctionDefinition definition;
      definition.name = (*fields)[0].get_string();
      definition.is_async = (*fields)[1].get_bool();
      for (const auto& parameter : (*fields)[2].get_array()) {
        if (!parameter.is_string()) return std::nullopt;
        definition.parameters.emplace_back(parameter.get_string());
      }
      out.functions.push_back(std::move(definition));
    }
    return out;
  }
  if (const auto* e = answer.if_contains("syntax_error"); e && e->is_string()) {
    out.outcome = SourceDefinitions::Outcome::syntax_error;
    out.error = e->get_string();
    return out;
  }
  if (const auto* e = answer.if_contains("error"); e && e->is_string()) {
    out.outcome = SourceDefinitions::Outcome::error;
    out.error = e->get_string();
    return out;
  }
  return std::nullopt;
}

void ignore_sigpipe_once() {
  // A helper that dies while a request is being written must not take the server with it.
  static const bool done = [] {
    corvane::platform::ignore_broken_pipes();
    return true;
  }();
  (void)done;
}

}  // namespace

struct HelperRequest {
  explicit HelperRequest(const asio::any_io_executor& ex) : done(ex, asio::steady_timer::time_point::max()) {}
  std::uint64_t id = 0;
  std::string hash;
  Text line;              // the request line, kept until answered: sent again after a restart
  DefinitionsPtr result;  // set once
  asio::steady_timer done;  // cancelled when `result` is set: wakes every waiter
};

namespace {

struct HelperProcess {
  explicit HelperProcess(const asio::any_io_executor& ex)
      : input(ex), output(ex), watchdog(ex, corvane::Timer::time_point::max()) {}
  std::shared_ptr<corvane::process::Child> child;
  corvane::process::PipeStream input;   // the helper's standard input
  corvane::process::PipeStream output;  // the helper's standard output
  // The time limit of the request the helper works on (the first outstanding one).
  corvane::Timer watchdog;
  std::deque<HelperTicket> outstanding;  // sent and not answered, in the order sent
  std::deque<Text> writes;
  bool writing = false;
  bool closed = false;
};

}  // namespace

struct ParameterHelper::Impl : std::enable_shared_from_this<Impl> {
  Impl(asio::any_io_executor e, std::vector<std::string> c)
      : ex(std::move(e)), command(std::move(c)), log(corvane::logging::get_logger("business_layer.parameter_helper")) {}

  asio::any_io_executor ex;
  std::vector<std::string> command;
  Logger log;
  // A request's time limit: `timeout`, plus a second per 256 KiB of the request. Reading and
  // parsing grow with the module (dense code parses at about a second per megabyte on a quiet
  // machine), so a large module on a busy machine is not taken for a stuck helper.
  std::chrono::milliseconds timeout{2000};
  static constexpr std::size_t kBytesPerExtraSecond = 256 * 1024;
  std::shared_ptr<HelperProcess> process;
  // Processes killed but perhaps not yet reaped.
  std::vector<std::shared_ptr<corvane::process::Child>> retired;
  std::uint64_t next_id = 1;
  StringMap<HelperTicket> in_flight;  // by code hash

  struct CacheEntry {
    std::string hash;
    DefinitionsPtr value;
    std::size_t bytes = 0;
  };
  std::list<CacheEntry> lru;  // most recently used first
  StringMap<std::list<CacheEntry>::iterator> cache_index;
  std::size_t cache_bytes = 0;
  std::size_t max_entries = 512;
  std::size_t max_bytes = 64u * 1024 * 1024;

  Stats stats;
  bool stopped = false;

  DefinitionsPtr cached(std::string_view hash) {
    auto it = cache_index.find(hash);
    if (it == cache_index.end()) return nullptr;
    lru.splice(lru.begin(), lru, it->second);
    return it->second->value;
  }

  void remember(const std::string& hash, DefinitionsPtr value) {
    if (auto it = cache_index.find(hash); it != cache_index.end()) {
      cache_bytes -= it->second->bytes;
      lru.erase(it->second);
      cache_index.erase(it);
    }
    std::size_t bytes = estimate_bytes(*value) + hash.size();
    lru.push_front(CacheEntry{hash, std::move(value), bytes});
    cache_index[hash] = lru.begin();
    cache_bytes += bytes;
    trim();
  }

  void trim() {
    while (lru.size() > 1 && (lru.size() > max_entries || cache_bytes > max_bytes)) {
      cache_bytes -= lru.back().bytes;
      cache_index.erase(lru.back().hash);
      lru.pop_back();
    }
  }

  void complete(const HelperTicket& request, DefinitionsPtr result) {
    request->result = std::move(result);
    if (auto it = in_flight.find(request->hash); it != in_flight.end() && it->second == request) in_flight.erase(it);
    request->done.cancel();
  }

  // Hands the request to the running helper, starting one when none runs.
  void send(HelperTicket request) {
    if (stopped) {
      complete(request, unavailable("the parameter helper was stopped"));
      return;
    }
    if (!process) {
      std::string error;
      process = start(error);
      if (!process) {
        complete(request, unavailable(std::move(error)));
        return;
      }
    }
    HelperProcess& proc = *process;
    proc.outstanding.push_back(request);
    if (proc.outstanding.size() == 1) arm(proc);
    proc.writes.push_back(request->line);
    ++stats.parses;
    if (!proc.writing) {
      proc.writing = true;
      asio::co_spawn(ex, write_lines(shared_from_this(), process), asio::detached);
    }
  }

  std::shared_ptr<HelperProcess> start(std::string& error) {
    if (command.empty()) {
      error = "no command for the parameter helper";
      return nullptr;
    }
    ignore_sigpipe_once();
    std::erase_if(retired, [](const auto& c) { return !c->alive(); });
    corvane::process::SpawnOptions options;
    options.in = corvane::process::Stdio::pipe;
    options.out = corvane::process::Stdio::pipe;
    corvane::process::Spawned spawned = corvane::process::spawn(command, options, error);
    if (!spawned) return nullptr;
    auto proc = std::make_shared<HelperProcess>(ex);
    proc->child = std::move(spawned.child);
    proc->input.assign(spawned.in);
    proc->output.assign(spawned.out);
    ++stats.starts;
    log->debug("Started the parameter helper (PID: {})", proc->child->pid());
    asio::co_spawn(ex, read_answers(shared_from_this(), proc), asio::detached);
    asio::co_spawn(ex, watch(shared_from_this(), proc), asio::detached);
    return proc;
  }

  std::chrono::milliseconds limit_for(const HelperRequest& request) const {
    std::size_t size = request.line ? request.line->size() : 0;
    return timeout + std::chrono::seconds(size / kBytesPerExtraSecond);
  }

  // Starts the time limit of the first outstanding request, or stops the clock.
  void arm(HelperProcess& proc) {
    if (proc.outstanding.empty()) proc.watchdog.expires_at(corvane::Timer::time_point::max());
    else proc.watchdog.expires_after(limit_for(*proc.outstanding.front()));
  }

  void answer(const std::shared_ptr<HelperProcess>& proc, std::string_view line) {
    json::error_code ec;
    json::value v = json::parse(line, ec);
    const json::object* o = ec ? nullptr : v.if_object();
    std::optional<SourceDefinitions> found;
    if (o && !proc->outstanding.empty() && id_equals(o->if_contains("id"), proc->outstanding.front()->id))
      found = read_answer(*o);
    if (!found) {
      fail(proc, "the parameter helper sent an unreadable answer");
      return;
    }
    HelperTicket request = std::move(proc->outstanding.front());
    proc->outstanding.pop_front();
    arm(*proc);
    auto result = std::make_shared<const SourceDefinitions>(std::move(*found));
    remember(request->hash, result);
    complete(request, std::move(result));
  }

  std::string exit_text(HelperProcess& proc) {
    std::string text = "the parameter helper exited";
    if (proc.child && !proc.child->alive()) {
      if (auto status = proc.child->exit_status()) {
        if (corvane::process::exited(*status)) text += " with status " + std::to_string(corvane::process::exit_code(*status));
        else if (corvane::process::signalled(*status)) text += " on signal " + std::to_string(corvane::process::signal_number(*status));
      }
    }
    return text;
  }

  // Ends the process. The request it was working on gets `reason`; those queued behind it go
  // to a new process (unless the helper was stopped).
  void fail(const std::shared_ptr<HelperProcess>& proc, const std::string& reason, bool quiet = false) {
    if (proc->closed) return;
    proc->closed = true;
    if (proc->child) {
      if (proc->child->kill_tree()) proc->child->kill();
      if (proc->child->alive()) retired.push_back(proc->child);
    }
    boost::system::error_code ignored;
    proc->input.close(ignored);
    proc->output.close(ignored);
    proc->watchdog.cancel();
    proc->writes.clear();
    if (process == proc) process.reset();
    std::deque<HelperTicket> outstanding = std::move(proc->outstanding);
    proc->outstanding.clear();
    if (quiet) log->debug("Parameter helper stopped: {}", reason);
    else log->warn("Parameter helper stopped: {}", reason);
    for (std::size_t i = 0; i < outstanding.size(); ++i) {
      if (i == 0) complete(outstanding[i], unavailable(reason));
      else send(std::move(outstanding[i]));
    }
  }

  static awaitable<void> write_lines(std::shared_ptr<Impl> self, std::shared_ptr<HelperProcess> proc) {
    while (!proc->closed && !proc->writes.empty()) {
      Text line = proc->writes.front();
      boost::system::error_code ec;
      co_await asio::async_write(proc->input, asio::buffer(*line), asio::redirect_error(asio::use_awaitable, ec));
      if (proc->closed) break;
      proc->writes.pop_front();
      // The helper no longer reads: it is gone (its output ends, which the reader reports) or
      // stuck (its time limit ends it).
      if (ec) break;
    }
    proc->writing = false;
  }

  static awaitable<void> read_answers(std::shared_ptr<Impl> self, std::shared_ptr<HelperProcess> proc) {
    std::string buffer;
    while (!proc->closed) {
      boost::system::error_code ec;
      std::size_t n = co_await asio::async_read_until(proc->output, asio::dynamic_buffer(buffer, kMaxAnswerBytes), '\n',
                                                      asio::redirect_error(asio::use_awaitable, ec));
      if (proc->closed) break;
      if (ec == asio::error::not_found) {
        self->fail(proc, "the parameter helper sent an answer that is too long");
        break;
      }
      if (ec) {
        // The output ends a moment before the process can be reaped; new requests go to a new
        // process meanwhile.
        if (self->process == proc) self->process.reset();
        asio::steady_timer pause(self->ex);
        for (int i = 0; i < 100 && proc->child && proc->child->alive() && !proc->closed; ++i) {
          pause.expires_after(std::chrono::milliseconds(1));
          co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        }
        self->fail(proc, self->exit_text(*proc));
        break;
      }
      self->answer(proc, std::string_view(buffer.data(), n - 1));
      buffer.erase(0, n);
    }
  }

  static awaitable<void> watch(std::shared_ptr<Impl> self, std::shared_ptr<HelperProcess> proc) {
    while (!proc->closed) {
      boost::system::error_code ec;
      co_await proc->watchdog.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      if (proc->closed) break;
      // Woken by a new time limit, or expired just before one was set.
      if (ec || proc->watchdog.expiry() > corvane::Clock::now()) continue;
      if (proc->outstanding.empty()) {
        proc->watchdog.expires_at(corvane::Timer::time_point::max());
        continue;
      }
      auto ms = self->limit_for(*proc->outstanding.front()).count();
      std::string limit = ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
      self->fail(proc, "the parameter helper did not answer within " + limit);
    }
  }
};

ParameterHelper::ParameterHelper(asio::any_io_executor executor, std::vector<std::string> command)
    : impl_(std::make_shared<Impl>(std::move(executor), std::move(command))) {}

ParameterHelper::~ParameterHelper() { stop(); }

std::vector<std::string> ParameterHelper::default_command(const std::string& python) {
  // -I: neither the environment's PYTHON* variables, the user's site directory nor the working
  // directory can shadow the standard library; -S: no site initialisation (.pth files).
  return {python, "-I", "-S", helper_script()};
}

HelperTicket ParameterHelper::request(std::string_view code_hash, std::string_view code) {
  Impl& s = *impl_;
  auto ticket = std::make_shared<HelperRequest>(s.ex);
  if (code.empty()) {
    ticket->result = empty_source();
    return ticket;
  }
  std::string hash = code_hash.empty() ? compute_code_hash(code) : std::string(code_hash);
  if (auto hit = s.cached(hash)) {
    ++s.stats.cache_hits;
    ticket->result = std::move(hit);
    return ticket;
  }
  if (auto it = s.in_flight.find(hash); it != s.in_flight.end()) return it->second;

  ticket->id = s.next_id++;
  ticket->hash = std::move(hash);
  std::string line = "{\"id\":" + std::to_string(ticket->id) + ",\"code\":";
  line += json::serialize(json::string_view(code.data(), code.size()));
  line += "}\n";
  ticket->line = std::make_shared<const std::string>(std::move(line));
  s.in_flight[ticket->hash] = ticket;
  s.send(ticket);
  return ticket;
}

awaitable<DefinitionsPtr> ParameterHelper::wait(HelperTicket ticket) {
  if (!ticket->result) {
    boost::system::error_code ec;
    co_await ticket->done.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    // Not answered: the waiting task itself was cancelled.
    if (!ticket->result) throw boost::system::system_error(asio::error::operation_aborted);
  }
  co_return ticket->result;
}

awaitable<DefinitionsPtr> ParameterHelper::definitions(std::string code_hash, std::string code) {
  HelperTicket ticket = request(code_hash, code);
  co_return co_await wait(std::move(ticket));
}

void ParameterHelper::stop() {
  Impl& s = *impl_;
  s.stopped = true;
  if (auto proc = s.process) {
    auto child = proc->child;
    s.fail(proc, "the parameter helper was stopped", true);
    if (child) child->wait_for(200);
  }
}


void ParameterHelper::set_cache_limits(std::size_t max_entries, std::size_t max_bytes) {
  impl_->max_entries = std::max<std::size_t>(max_entries, 1);
  impl_->max_bytes = max_bytes;
  impl_->trim();
}

ParameterHelper::Stats ParameterHelper::stats() const {
  Stats out = impl_->stats;
  out.cached = impl_->lru.size();
  return out;
}

int ParameterHelper::pid() const {
  const auto& proc = impl_->process;
  return proc && !proc->closed && proc->child ? proc->child->pid() : 0;
}

}  // namespace switchyard
