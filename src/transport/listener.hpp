#pragma once
// The HTTP and WebSocket front door: accepts connections, lets in only the processes of the
// server's own user, applies the request gate and the size and time limits, serves the JSON routes and hands WebSocket upgrades to the endpoint.
#include "switchyard/server.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace switchyard::transport {

struct ListenerOptions {
  std::string host = "127.0.0.1";
  unsigned short port = 8000;
  // Extra allowed origins (besides https://localhost and https://127.0.0.1 on any port).
  std::vector<std::string> allowed_origins;
  std::size_t max_connections = 1024;
  std::size_t max_header_bytes = 64 * 1024;
  std::size_t max_body_bytes = 64u * 1024 * 1024;
  std::chrono::milliseconds request_timeout{10000};
  // Let in processes of every local user (the settings key server.allow_other_users does the
  // same); by default only the server's own user's processes get in.
  bool allow_other_users = false;
};

class Listener {
 public:
  Listener(Server& server, ListenerOptions options);
  ~Listener();

  // Binds and listens; returns the bound port. Throws on failure.
  unsigned short listen();
  // Starts accepting connections (and decides, once, whether other users' processes get in).
  void start();
  // Stops accepting, closes every connection (WebSocket peers get close code 1001) and waits,
  // at most `limit`, for them to end.
  awaitable<void> shutdown(std::chrono::milliseconds limit);

  std::size_t open_connections() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace switchyard::transport
