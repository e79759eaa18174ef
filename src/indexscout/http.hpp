#pragma once
// Blocking HTTP GET over libcurl. A Session owns one shared connection cache (plus DNS and TLS
// session caches), so requests made from any thread reuse connections. Redirects are followed,
// TLS is verified, proxies come from the environment (http_proxy, https_proxy, no_proxy), and
// only http and https URLs are fetched.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace indexscout::http {

// The HTTP client cannot be used at all (libcurl failed to initialise).
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
  // When >= 0, the body is written to this file descriptor instead of memory.
  int sink_fd = -1;
};

struct Response {
  long status = 0;
  std::string body;
  std::string content_type;
  std::string url;  // after redirects
  std::size_t body_bytes = 0;
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
  Session() = default;
  static void lock(void* handle, int data, int access, void* self);
  static void unlock(void* handle, int data, void* self);

  void* share_ = nullptr;  // CURLSH*
  std::mutex locks_[8];
  std::atomic<bool> closed_{false};
};

// Lower-case hex SHA-256 of a buffer / of a file's whole content (throws std::runtime_error).
std::string sha256_hex(std::string_view data);
std::string sha256_hex_of_fd(int fd);

}  // namespace indexscout::http
