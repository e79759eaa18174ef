#pragma once
// What tells the server to stop, from outside: SIGINT and SIGTERM on POSIX; on Windows Ctrl+C,
// Ctrl+Break, the console window closing, logoff and shutdown (as console events, and as the
// session-end messages a hidden window receives), and a close request to that window (what
// "taskkill /PID n" without /F sends). On POSIX it also reaps exited children when SIGCHLD says.
// shutdown_posix.cpp, shutdown_win.cpp.
#include <boost/asio/io_context.hpp>

#include <functional>
#include <memory>
#include <string>

namespace switchyard::host {

class StopRequests {
 public:
  // `on_stop` runs on the loop, once, with what asked ("signal 15", "Ctrl+C", "logoff", ...).
  StopRequests(boost::asio::io_context& ioc, std::function<void(const std::string& what)> on_stop);
  ~StopRequests();
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

  // The server has stopped. On Windows the system ends the process as soon as a handler of the
  // console closing, logoff or shutdown returns: those handlers wait for this.
  void stopped();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace switchyard::host
