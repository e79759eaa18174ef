#pragma once
// The server: what a Python module would keep at module level, in one object. A test builds a
// fresh Server for each case; the host builds one for the process.
#include "switchyard/common.hpp"
#include "switchyard/connection_manager.hpp"
#include "switchyard/result_batcher.hpp"
#include "switchyard/task_group.hpp"
#include "switchyard/workbook.hpp"

#include "services/ide_manager.hpp"
#include "services/inspector.hpp"
#include "packages/package_manager.hpp"
#include "services/settings.hpp"

#include <filesystem>
#include <list>
#include <optional>

namespace switchyard {

class Server;
class ParameterHelper;

// A message handler: (server, sender's client id, the whole received message).
using Handler = awaitable<void> (*)(Server&, std::string client_id, json::object message);
// A handler's fast path, for the main path's hot messages: does at once, in the receive loop,
// what the handler would do when nothing has to wait, calling before_handler() first, and
// returns true; or returns false having done nothing (the message then goes to the handler).
using FastPath = bool (*)(Server&, std::string_view client_type, const std::string& client_id,
                          json::object& message);

struct Route {
  Handler handler = nullptr;
  FastPath now = nullptr;
};

// client type -> (message type -> route), in documented order.
class HandlerTable {
 public:
  void add(std::string_view client_type, std::string_view message_type, Handler handler, FastPath now = nullptr);
  const Route* find(std::string_view client_type, std::string_view message_type) const;
  const OrderedMap<OrderedMap<Route>>& tables() const { return tables_; }

 private:
  OrderedMap<OrderedMap<Route>> tables_;
};

// The package-install workflow entry handed to the package handlers.
using InstallWorkflow = awaitable<void> (*)(Server&, std::string workbook_id);

// What the package handlers install through (set by init_handlers).
struct PackageHandlerContext {
  corvane::PackageManager* package_manager = nullptr;
  InstallWorkflow install = nullptr;
};

struct ServerOptions {
  // Per-user data directory; empty: $HOME/.corvane.
  std::filesystem::path base_dir;
  // The kernels' interpreter; empty: $CORVANE_PYTHON, else "python3" on PATH.
  std::string python_executable;
  std::vector<std::string> inspector_command;
  bool no_inspector = false;
};

// A function call the add-in waits for: the workbook that asked, and the order of asking.
struct PendingExecution {
  std::string workbook_id;
  std::uint64_t order = 0;
};

class Server {
 public:
  Server(asio::any_io_executor executor, ServerOptions options = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // ---- host-called operations
  awaitable<void> startup_event();
  awaitable<void> shutdown_event();
  json::object root() const;
  json::object get_connections() const;
  void set_port(int port);
  void initialize_ide_manager(int server_port, int watchdog_port, std::string auth_token, int docs_port);

  // Cancels every connection's tasks and every background task (shutdown, tests).
  void cancel_all_tasks();

  asio::any_io_executor executor;
  Logger logger;
  // Tasks nobody waits for (background saves, delayed flushes, sends of connections that cannot
  // queue by themselves).
  TaskGroup background;
  ConnectionManager manager;
  // Everything the server keeps about each workbook.
  Workbooks workbooks;
  // Function calls the add-ins wait for, by request id, and their results on the way back.
  StringMap<PendingExecution> _pending_function_executions;
  std::uint64_t pending_execution_counter = 0;
  ResultBatcher _result_batcher;
  // Every kernel process started and not yet seen to exit, also those no longer a workbook's
  // (terminated or replaced): none may outlive the server.
  std::vector<std::shared_ptr<corvane::process::Child>> started_kernels;
  // The module and function names of the last call found valid (recalculations call the same
  // few functions over and over).
  std::pair<std::string, std::string> last_valid_call_names;

  std::filesystem::path base_dir;
  corvane::SettingsManager settings_manager;
  corvane::PackageManager package_manager;
  std::unique_ptr<corvane::IDEProcessManager> ide_manager;
  HandlerTable MESSAGE_HANDLERS;
  corvane::InspectorLauncher inspector;
  int _port = 8000;
  std::string python_executable;
  // Sleeps in the kernel restart path, in milliseconds (tests shorten them).
  int kill_grace_ms = 200;
  int restart_pause_ms = 500;
  // The connection hooks' settling pauses (before they start, after spawning a kernel).
  int hook_pause_ms = 500;
  // Seconds to wait after the inspector started.
  double inspector_settle_seconds = 1.0;
  // Seconds to wait for the add-in's answer to a module, function, package or event request,
  // and to a handler (un)registration.
  double addin_request_timeout = 10.0;
  double handler_registration_timeout = 10.0;
  PackageHandlerContext package_handlers;
  // Set by shutdown_event(): kernels that exit now are not started again.
  bool stopping = false;
  // Lives as long as the server: what outlives it (a child's exit report) checks it first.
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);
  // Task groups of the live connections, for cancel_all_tasks().
  std::list<TaskGroup*> connection_groups;
  // Reads module sources for their function parameters; started on first use
  // (get_parameter_helper), stopped at shutdown.
  std::shared_ptr<ParameterHelper> parameter_helper;
};

// ---- dispatcher and endpoint
awaitable<void> handle_message(Server& server, std::string client_type, std::string client_id, json::object message);
// What the dispatcher does with every message before its handler: offers it to the correlation
// of requests and responses, and writes the timing line.
void before_handler(Server& server, std::string_view client_type, const json::object& message);
// Handles a received message at once, without a task, when its handler would finish without
// waiting (the hot messages of the main path); false, having done nothing, otherwise.
bool dispatch_now(Server& server, std::string_view client_type, const std::string& client_id, json::object& message);

// Decodes a base64url bulk envelope and dispatches its message. Throws BulkDecodeError when the
// text does not decode.
class BulkDecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
awaitable<json::object> bulk_message(Server& server, std::string base64_message);
// The decoding steps alone: percent-decoding, padding, URL-safe base64, UTF-8, JSON.
json::value decode_bulk_envelope(std::string_view base64_message);

// Runs one WebSocket connection from validation to clean-up. `query` holds the request's query
// parameters in order (the last value of a repeated name wins).
awaitable<void> websocket_endpoint(Server& server, PeerPtr websocket, std::string client_type,
                                   std::string client_id, json::object query);

// The routing table with every handler that exists.
void build_message_handlers(HandlerTable& table);

// Handler used for the add-in's response types: correlation already delivered them.
awaitable<void> handle_response_message(Server&, std::string client_id, json::object message);

}  // namespace switchyard
