#pragma once
// The registry of live connections, every per-workbook table, and all sending.
//
// One instance per Server. Everything runs on the server's single event loop; tables are only
// changed between waiting points, so nothing here takes a lock. Member functions are defined
// in the file of the concern they belong to (registry.cpp, correlation.cpp, chunking.cpp,
// kernels.cpp, modules.cpp, ...).
#include "switchyard/common.hpp"
#include "switchyard/handler_registry.hpp"
#include "switchyard/peer.hpp"
#include "switchyard/result_batcher.hpp"

#include "services/clock.hpp"
#include "services/process.hpp"

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>

namespace switchyard {

class Server;
struct PackageRuns;

// `send_and_wait_response` failures, caught by type.
class NotConnectedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class RequestTimeoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One cached module: its code and the code's SHA-256, computed once when the code is stored.
struct CachedModule {
  std::string code;
  std::string hash;
};
using ModuleTable = OrderedMap<CachedModule>;

struct ChunkBuffer {
  std::vector<std::optional<std::string>> chunks;
  std::int64_t received = 0;
  std::int64_t total = 0;
  std::size_t bytes = 0;
  corvane::Clock::time_point touched;
};

// A display name or connection arguments, remembered with the client type that gave them so
// that one peer's disconnect does not erase what the other peer of the workbook gave.
struct NamedEntry {
  std::string name;
  std::string owner_type;
};
struct ArgsEntry {
  json::object args;
  std::string owner_type;
};

struct PendingRequest {
  explicit PendingRequest(const asio::any_io_executor& ex) : timer(ex) {}
  corvane::Timer timer;
  std::optional<json::object> response;
};

class ConnectionManager {
 public:
  explicit ConnectionManager(Server& server);
  ConnectionManager(const ConnectionManager&) = delete;
  ConnectionManager& operator=(const ConnectionManager&) = delete;

  // ---- caps on what peers can make the server hold
  static constexpr std::size_t kMaxMessageBytes = 64u * 1024 * 1024;
  static constexpr std::size_t kMaxChunkBuffersPerClient = 1024;
  static constexpr std::chrono::seconds kChunkBufferIdle{60};

  // ---- registry and sending
  awaitable<void> connect(const std::string& client_type, const std::string& client_id, PeerPtr websocket,
                          std::string name = {}, json::object connection_args = {});
  // Removes the entry of (type, id). With `only` set, does nothing unless that entry is `only`
  // (the connection being cleaned up has not been superseded by a newer one).
  void disconnect(const std::string& client_type, const std::string& client_id,
                  const PeerConnection* only = nullptr);
  PeerPtr get_connection(std::string_view client_type, std::string_view client_id) const;
  // True when (type, id) holds a connection other than `peer`.
  bool is_superseded(std::string_view client_type, std::string_view client_id, const PeerConnection* peer) const;

  awaitable<void> send_message(std::string_view client_type, std::string_view client_id, const json::object& message);
  awaitable<void> send_text(std::string_view client_type, std::string_view client_id, Text text);
  awaitable<void> send_to_ide(const json::object& message);
  awaitable<void> send_to_addin(std::string_view workbook_id, const json::object& message);
  awaitable<void> send_to_kernel(std::string_view workbook_id, const json::object& message);
  awaitable<void> broadcast(std::string_view client_type, const json::object& message);
  awaitable<void> broadcast_text(std::string_view client_type, Text text);
  // Queues a frame to the peer behind those already queued and returns without waiting for the
  // write. A frame that cannot be delivered is handed to undelivered_frame().
  void post_text(const PeerPtr& peer, Text text);
  // A function call whose frame never reached the kernel is answered "Kernel disconnected" if
  // it is still pending (execution.cpp).
  void undelivered_frame(const Text& frame);

  // Display name / connection arguments stored for a client id (empty when none).
  std::string_view client_name(std::string_view client_id) const;
  const json::object* client_arguments(std::string_view client_id) const;

  // ---- request/response correlation
  awaitable<json::object> send_and_wait_response(std::string client_type, std::string client_id,
                                                 json::object message, double timeout = 30.0);
  bool handle_response(const json::object& message);

  // ---- chunking
  awaitable<std::optional<json::object>> _handle_chunk_message(std::string_view client_type,
                                                               std::string_view client_id,
                                                               const json::object& message);
  std::optional<json::object> handle_chunk(std::string_view client_id, const json::object& message);
  awaitable<void> send_message_with_chunking(std::string client_type, std::string client_id, json::object message);
  awaitable<void> _send_chunked_to_client(PeerPtr websocket, const std::string& raw_json,
                                          const json::object& original_message);
  std::size_t chunk_buffer_count(std::string_view client_id) const;
  // Drops buffers untouched for kChunkBufferIdle (also done every few seconds by handle_chunk).
  void sweep_chunk_buffers(corvane::Clock::time_point now);

  // ---- kernel processes
  std::shared_ptr<corvane::process::Child> spawn_kernel(const std::string& workbook_id);
  void terminate_kernel(const std::string& workbook_id);
  bool kill_and_restart_kernel(const std::string& workbook_id);

  // ---- module cache
  void save_module(const std::string& workbook_id, const std::string& module_name, std::string code);
  bool delete_module(const std::string& workbook_id, const std::string& module_name);
  std::optional<std::string> get_module(std::string_view workbook_id, std::string_view module_name) const;
  const ModuleTable& list_modules(std::string_view workbook_id) const;
  void replace_modules(const std::string& workbook_id, const json::object& modules);
  json::object modules_object(std::string_view workbook_id) const;

  awaitable<const ModuleTable*> request_modules_from_addin(std::string workbook_id);
  awaitable<std::optional<json::array>> request_functions_from_addin(std::string workbook_id);
  awaitable<std::optional<json::object>> request_packages_from_addin(std::string workbook_id);
  awaitable<std::optional<json::object>> request_events_info_from_addin(std::string workbook_id);
  awaitable<bool> save_module_to_addin(std::string workbook_id, std::string module_name, std::string code);
  awaitable<std::optional<std::string>> load_module_from_addin(std::string workbook_id, std::string module_name);
  awaitable<bool> delete_module_from_addin(std::string workbook_id, std::string module_name);

  awaitable<void> _push_modules(std::string workbook_id, const json::object* modules = nullptr,
                                PeerPtr websocket = nullptr);

  // ---- pushes to the editors (relays.cpp); `websocket` null: every editor
  awaitable<void> _push_object_clear(std::string workbook_id, PeerPtr websocket = nullptr);
  awaitable<void> _push_message_to_ide_console(std::string message, std::string color = {},
                                               PeerPtr websocket = nullptr);

  // The generation of a workbook's module table (0 when it has none).
  std::uint64_t module_generation(std::string_view workbook_id) const;

  // ---- published functions
  // An entry from an editor: an object with "module_name", "function_name" and "excel_name".
  bool _validate_function_entry(const json::value& entry) const;
  awaitable<void> handle_update_published_functions(std::string workbook_id, json::array functions);
  // `functions` absent or empty: the stored list.
  awaitable<void> _push_custom_functions_to_addin(std::string workbook_id, const json::array* functions = nullptr);
  // `functions` absent: the stored list. `websocket` absent: every editor.
  awaitable<void> _push_published_functions_state(std::string workbook_id, const json::array* functions = nullptr,
                                                  PeerPtr websocket = nullptr);

  // ---- packages (packages.cpp)
  awaitable<void> _push_packages_and_python_paths(std::string workbook_id, const json::array* packages = nullptr,
                                                  const json::array* python_paths = nullptr,
                                                  const json::object* package_errors = nullptr,
                                                  PeerPtr websocket = nullptr);

  // Answers every function execution still pending for the workbook with an error result.
  awaitable<void> fail_pending_executions(std::string workbook_id, std::string message);

  // ---- event manager state and handler registrations (events.cpp)
  // Store a workbook's object tree / event definitions as a peer sent them (`win32`: the
  // kernel's COM level). Null counts as absent; a value or a part of it with the wrong JSON type
  // is treated as absent, with a warning. Absent means an empty object.
  void store_workbook_tree(const std::string& workbook_id, json::value tree, bool win32 = false);
  void store_event_definitions(const std::string& workbook_id, json::value definitions, bool win32 = false);
  // Store, then push the state to every editor in the background.
  void handle_workbook_structure_update(const std::string& workbook_id, json::value tree);
  void handle_event_definitions_update(const std::string& workbook_id, json::value definitions);
  // Ask the add-in, and on its confirmation change the registry and push; the add-in's "success".
  awaitable<bool> handle_register_handler(std::string workbook_id, std::string object_type, std::string object_id,
                                          std::string event_name, std::string module_name,
                                          std::string function_name, bool is_com);
  awaitable<bool> handle_unregister_handler(std::string workbook_id, std::string object_id, std::string event_name,
                                            bool is_com);
  static json::array _merge_tree_with_events(const json::object& tree, const json::object& definitions,
                                             const HandlerRegistry* registry, bool is_com);
  awaitable<void> _push_event_manager_state(std::string workbook_id, PeerPtr websocket = nullptr);
  awaitable<void> _push_events_config_to_addin(std::string workbook_id, const HandlerRegistry* config = nullptr,
                                               bool save = true, PeerPtr websocket = nullptr);
  awaitable<void> _push_com_events_config_to_kernel(std::string workbook_id, const HandlerRegistry* registry = nullptr,
                                                    PeerPtr websocket = nullptr);
  // Seconds a (un)registration waits for the add-in's answer; only tests change it.
  double _handler_registration_timeout = 10.0;
  // Seconds to wait for the add-in's answer to a module, function, package or event request
  // (tests shorten it).
  double _addin_request_timeout = 10.0;

  // ---- tables
  OrderedMap<OrderedMap<PeerPtr>> active_connections;
  StringMap<std::shared_ptr<corvane::process::Child>> kernel_processes;
  // Every kernel process started and not yet seen to exit, also those no longer in
  // kernel_processes (terminated or replaced): none may outlive the server.
  std::vector<std::shared_ptr<corvane::process::Child>> started_kernels;
  StringMap<NamedEntry> client_names;
  StringMap<ArgsEntry> client_args;
  StringMap<ModuleTable> workbook_modules;
  // Bumped on every change of a workbook's module table; lets the incremental push skip its
  // comparison when nothing changed since the last complete one.
  StringMap<std::uint64_t> _module_generation;
  StringMap<std::uint64_t> _synced_generation;
  StringMap<PendingRequest*> _pending_requests;
  StringMap<StringMap<std::string>> _synced_hashes;
  StringMap<json::object> workbook_tree;
  StringMap<json::object> event_definitions;
  StringMap<HandlerRegistry> registered_handlers;
  StringMap<json::object> win32_workbook_tree;
  StringMap<json::object> win32_event_definitions;
  StringMap<HandlerRegistry> win32_registered_handlers;
  StringMap<json::value> published_functions;
  // request id -> workbook id of the add-in that asked, with the order of recording.
  struct PendingExecution {
    std::string workbook_id;
    std::uint64_t order = 0;
  };
  StringMap<PendingExecution> _pending_function_executions;
  std::uint64_t pending_execution_counter = 0;
  StringMap<json::value> workbook_packages;
  StringMap<json::value> workbook_resolved_deps;
  StringMap<json::value> workbook_package_paths;
  StringMap<json::value> workbook_installed_packages;
  StringMap<json::value> package_errors;
  StringMap<json::value> package_stderr;
  StringMap<json::value> workbook_python_paths;
  // Install runs of each workbook, one at a time.
  StringMap<std::shared_ptr<PackageRuns>> _package_runs;
  ResultBatcher _result_batcher;
  StringMap<OrderedMap<ChunkBuffer>> _chunk_buffers;

  Server& server() { return server_; }
  const Logger& log() const { return log_; }

 private:
  void touch_modules(const std::string& workbook_id);
  std::uint64_t next_generation_ = 0;

  Server& server_;
  Logger log_;
  // Where connections report frames of post_text that failed; gone with the manager.
  std::shared_ptr<UndeliveredFrames> undelivered_;
  std::weak_ptr<UndeliveredFrames> undelivered_sink_;
  corvane::Clock::time_point last_chunk_sweep_{};
};

}  // namespace switchyard
