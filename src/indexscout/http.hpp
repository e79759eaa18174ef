#pragma once
// Blocking HTTP GET: libcurl on Linux (http.cpp), WinHTTP on Windows (http_winhttp.cpp). A
// Session keeps its connections (and DNS and TLS caches) for requests from any thread. Redirects
// are followed, TLS is verified, proxies are the platform's (http_proxy, https_proxy and no_proxy
// on Linux, the system's settings on Windows), and only http and https URLs are fetched.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace indexscout::http {

// The HTTP client cannot be used at all (libcurl or WinHTTP failed to initialise).
class ClientUnavailable : public std::runtime_error {
 public:
  ClientUnavailable();
};

// A request that did not produce a response: connection failure, timeout, oversized body.
class HttpError : public std::runtime_error {
 public:
  HttpError(const std::string& what, bool timeout) : std::runtime_error(what), timeout_(timeout) {}
  // A timeout carries no text of its own.
  bool timeout() const noexcept { return timeout_; }

 private:
  bool timeout_;
};

struct Request {
  std::string url;
  std::vector<std::string> headers;  // "Name: value"
  std::chrono::milliseconds timeout{10000};  // whole request: connection and body
  std::size_t max_body = std::size_t(256) << 20;
  // Only the status matters: the body is not kept (small bodies are drained so that the
  // connection can be reused, larger ones end the transfer early).
  bool status_only = false;
  // When set, the body is written to this file (created or emptied) instead of memory.
  std::filesystem::path sink_file;
};

struct Response {
  long status = 0;
  std::string body;
  std::string content_type;
  std::string url;  // after redirects
  std::size_t body_bytes = 0;
  std::string body_sha256;  // lower-case hex, of a body written to sink_file
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  // Throws ClientUnavailable.
  static std::shared_ptr<Session> create();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Blocking; safe to call from several threads at once. Throws HttpError.
  Response get(const Request& request);

  // Marks the session closed. Requests already running finish; the caches go when the last
  // holder lets go of the session.
  void close() noexcept { closed_ = true; }
  bool closed() const noexcept { return closed_; }

 private:
  Session();
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::atomic<bool> closed_{false};
};

// Lower-case hex SHA-256 of a buffer.
std::string sha256_hex(std::string_view data);

}  // namespace indexscout::http
