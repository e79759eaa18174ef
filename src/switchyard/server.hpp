#pragma once
// The server: what a Python module would keep at module level, in one object. A test builds a
// fresh Server for each case; the host builds one for the process.
#include "switchyard/common.hpp"
#include "switchyard/connection_manager.hpp"
#include "switchyard/task_group.hpp"

#include "services/ide_manager.hpp"
#include "services/inspector.hpp"
#include "services/package_manager.hpp"
#include "services/settings.hpp"

#include <filesystem>
#include <optional>

namespace switchyard {

class Server;
class ParameterHelper;

// A message handler: (server, sender's client id, the whole received message).
using Handler = awaitable<void> (*)(Server&, std::string client_id, json::object message);

// client type -> (message type -> handler), in documented order.
class HandlerTable {
 public:
  void add(std::string_view client_type, std::string_view message_type, Handler handler);
  Handler find(std::string_view client_type, std::string_view message_type) const;
  const OrderedMap<OrderedMap<Handler>>& tables() const { return tables_; }
  // Changes whenever an entry is added or replaced; never the same for two tables.
  std::uint64_t version() const { return version_; }

 private:
  OrderedMap<OrderedMap<Handler>> tables_;
  std::uint64_t version_ = 0;
};

// The package-install workflow entry handed to the package handlers.
using InstallWorkflow = awaitable<void> (*)(Server&, std::string workbook_id);

// What the package handlers send and await through (set by init_handlers).
struct PackageHandlerContext {
  ConnectionManager* manager = nullptr;
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

inline constexpr std::string_view kClientTypes[] = {"addin", "ide", "kernel", "inspector"};
inline constexpr std::size_t CHUNK_SIZE = 65536;
inline constexpr std::string_view CHUNK_HEADER_TYPE = "chunk";

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
  ConnectionManager manager;
  std::filesystem::path base_dir;
  corvane::SettingsManager settings_manager;
  corvane::PackageManager package_manager;
  std::unique_ptr<corvane::IDEProcessManager> ide_manager;
  HandlerTable MESSAGE_HANDLERS;
  corvane::InspectorLauncher inspector;
  int _port = 8000;
  std::string python_executable;
  // Tasks nobody waits for (background saves, delayed flushes, correlator offers).
  TaskGroup background;
  // Sleeps in the kernel restart path, in milliseconds (tests shorten them).
  int kill_grace_ms = 200;
  int restart_pause_ms = 500;
  // The connection hooks' settling pauses (before they start, after spawning a kernel).
  int hook_pause_ms = 500;
  // Seconds to wait after the inspector started.
  double inspector_settle_seconds = 1.0;
  PackageHandlerContext package_handlers;
  // Task groups of the live connections, for cancel_all_tasks().
  std::list<TaskGroup*> connection_groups;
  // Reads module sources for their function parameters; started on first use
  // (get_parameter_helper), stopped at shutdown.
  std::shared_ptr<ParameterHelper> parameter_helper;

 private:
  void init_handlers_table();
};

// ---- dispatcher and endpoint
awaitable<void> handle_message(Server& server, std::string client_type, std::string client_id, json::object message);
awaitable<bool> _try_handle_response(Server& server, const json::object& message);
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
