// The hosting process: command-line flags, logging, the listener, signals.
#include "switchyard/server.hpp"
#include "transport/listener.hpp"
#include "host/shutdown.hpp"
#include "services/platform.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

using namespace switchyard;

namespace {

const char* kUsage = R"(usage: switchyard [options]

Local message broker and process supervisor for workbook Python kernels.

options:
  --host HOST               address to listen on (default 127.0.0.1)
  --port PORT               port to listen on (default 8000; 0 picks a free port)
  --python PATH             interpreter for the kernels (default $CORVANE_PYTHON, else python3)
  --log-level LEVEL         debug, info, warning or error (default info)
  --no-inspector            do not start the code inspector
  --inspector-command CMD   command that starts the code inspector ({port} is replaced)
  --allowed-origin ORIGIN   also accept requests from this web origin (repeatable)
  --allow-other-users       let in processes of every local user, not only the server's own
  --help                    show this text
  --version                 show the version
)";

struct Flags {
  std::string host = "127.0.0.1";
  int port = 8000;
  std::string python;
  std::string log_level = "info";
  bool no_inspector = false;
  std::string inspector_command;
  std::vector<std::string> allowed_origins;
  bool allow_other_users = false;
};

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "switchyard: %s\n%s", message.c_str(), kUsage);
  std::exit(2);
}

Flags parse_flags(int argc, char** argv) {
  Flags f;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_inline = false;
    if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_inline = true;
    }
    auto need = [&]() -> std::string {
      if (has_inline) return value;
      if (i + 1 >= argc) usage_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--version") {
      std::printf("switchyard %s\n", SWITCHYARD_VERSION);
      std::exit(0);
    } else if (arg == "--host") {
      f.host = need();
    } else if (arg == "--port") {
      std::string v = need();
      char* end = nullptr;
      long p = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || p < 0 || p > 65535) usage_error("invalid port: " + v);
      f.port = static_cast<int>(p);
    } else if (arg == "--python") {
      f.python = need();
    } else if (arg == "--log-level") {
      f.log_level = need();
      spdlog::level::level_enum level;
      if (!corvane::logging::parse_level(f.log_level, level)) usage_error("invalid log level: " + f.log_level);
    } else if (arg == "--no-inspector") {
      f.no_inspector = true;
    } else if (arg == "--inspector-command") {
      f.inspector_command = need();
    } else if (arg == "--allowed-origin") {
      f.allowed_origins.push_back(need());
    } else if (arg == "--allow-other-users") {
      f.allow_other_users = true;
    } else {
      usage_error("unknown argument: " + arg);
    }
  }
  return f;
}

// The repository's python/ folder, so that the kernels can run `-m corvane_master.python_server`.
std::string python_dir() {
  namespace platform = corvane::platform;
  std::error_code ec;
  const std::filesystem::path exe = platform::executable_path();
  for (auto dir = exe.parent_path(); !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
    if (std::filesystem::exists(dir / "python" / "corvane_master", ec)) return platform::path_to_utf8(dir / "python");
  }
  return std::string(SWITCHYARD_SOURCE_DIR) + "/python";
}

void prepend_python_path() {
  namespace platform = corvane::platform;
  platform::set_env("PYTHONPATH", platform::join_path_list({python_dir(), platform::get_env("PYTHONPATH").value_or("")}));
}

}  // namespace

int main(int argc, char** argv) {
  // UTF-8 arguments on every system (Windows hands main() its ANSI code page's rendering).
  std::vector<std::string> arguments = corvane::platform::arguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& a : arguments) pointers.push_back(a.data());
  Flags flags = parse_flags(static_cast<int>(pointers.size()), pointers.data());
  corvane::platform::prepare_process();
  prepend_python_path();

  std::filesystem::path base_dir = corvane::platform::home_directory() / ".corvane";
  corvane::logging::Options log_options;
  corvane::logging::parse_level(flags.log_level, log_options.level);
  log_options.log_dir = base_dir / "logs";
  corvane::logging::configure(log_options);
  auto log = corvane::logging::get_logger("business_layer.host");

  asio::io_context ioc(1);
  ServerOptions options;
  options.base_dir = base_dir;
  options.python_executable = flags.python;
  options.no_inspector = flags.no_inspector;
  if (!flags.inspector_command.empty()) options.inspector_command = corvane::split_command_line(flags.inspector_command);
  auto server = std::make_unique<Server>(ioc.get_executor(), std::move(options));

  transport::ListenerOptions listener_options;
  listener_options.host = flags.host;
  listener_options.port = static_cast<unsigned short>(flags.port);
  listener_options.allowed_origins = flags.allowed_origins;
  listener_options.allow_other_users = flags.allow_other_users;
  // A lower connection cap for tests that exercise it.
  if (auto cap = corvane::platform::get_env("SWITCHYARD_MAX_CONNECTIONS"); cap && std::atoi(cap->c_str()) > 0)
    listener_options.max_connections = static_cast<std::size_t>(std::atoi(cap->c_str()));
  transport::Listener listener(*server, listener_options);
  unsigned short port = 0;
  try {
    port = listener.listen();
  } catch (const boost::system::system_error& e) {
    // The reason alone, without the library's source location; a port in use in the same words
    // on every platform.
    const std::string reason =
        e.code() == asio::error::address_in_use ? std::string("Address already in use") : e.code().message();
    std::fprintf(stderr, "switchyard: cannot listen on %s:%d: %s\n", flags.host.c_str(), flags.port,
                 reason.c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "switchyard: cannot listen on %s:%d: %s\n", flags.host.c_str(), flags.port, e.what());
    return 1;
  }
  server->set_port(port);
  server->initialize_ide_manager(port, 0, new_uuid(), 0);

  asio::co_spawn(
      ioc,
      [&]() -> awaitable<void> {
        co_await server->startup_event();
        std::printf("switchyard listening on http://%s:%u\n", flags.host.c_str(), port);
        std::fflush(stdout);
        listener.start();
      },
      asio::detached);

  // Signals on POSIX; on Windows the console's and the session's events. Children are reaped
  // as they exit.
  std::unique_ptr<host::StopRequests> stop_requests;
  stop_requests = std::make_unique<host::StopRequests>(ioc, [&](const std::string& what) {
    log->info("Received {}, stopping", what);
    asio::co_spawn(
        ioc,
        [&]() -> awaitable<void> {
          co_await server->shutdown_event();
          co_await listener.shutdown(std::chrono::milliseconds(1200));
          // Kernels whose add-in never went away still run: they must not outlive the server.
          std::vector<std::shared_ptr<corvane::process::Child>> kernels = server->started_kernels;
          for (auto& child : kernels) {
            child->expect_exit();
            if (child->terminate_tree()) child->terminate();
          }
          for (int waited = 0; waited < 300; waited += 10) {
            bool any = false;
            for (auto& child : kernels) any = any || child->alive();
            if (!any) break;
            asio::steady_timer pause(ioc, std::chrono::milliseconds(10));
            co_await pause.async_wait(asio::use_awaitable);
          }
          for (auto& child : kernels)
            if (child->alive() && child->kill_tree()) child->kill();
          // The editor it started goes with it.
          if (server->ide_manager) server->ide_manager->stop();
          server->cancel_all_tasks();
          ioc.stop();
        },
        asio::detached);
  });

  ioc.run();
  corvane::process::reap_children();
  spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& l) { l->flush(); });
  std::fflush(stdout);
  std::fflush(stderr);
  stop_requests->stopped();
  // Pending coroutine frames reference the server; skip tearing them down one by one.
  std::_Exit(0);
}
