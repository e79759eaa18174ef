#pragma once
// How the server logic sees one WebSocket peer. The transport implements it over a socket;
// tests implement it in memory.
#include "switchyard/common.hpp"

#include <cstdint>
#include <optional>

namespace switchyard {

// Told of the frames queued with PeerConnection::post_text that could not be delivered.
class UndeliveredFrames {
 public:
  virtual ~UndeliveredFrames() = default;
  virtual void undelivered(const Text& frame) = 0;
};

class PeerConnection {
 public:
  virtual ~PeerConnection() = default;

  // Completes the opening handshake.
  virtual awaitable<void> accept() = 0;
  // Sends a close frame with `code` and `reason` and ends the connection.
  virtual awaitable<void> close(std::uint16_t code, std::string reason) = 0;
  // The next text message; nullopt once the peer has disconnected.
  virtual awaitable<std::optional<std::string>> receive() = 0;
  // The same message as a view that stays valid until the next receive; the default keeps a
  // copy of what receive() returned.
  virtual awaitable<std::optional<std::string_view>> receive_view();
  // Sends one whole text frame and waits until it has been written. Frames of concurrent
  // senders never interleave and leave in the order the sends were started. Throws when the
  // frame cannot be delivered (connection closed).
  virtual awaitable<void> send_text(Text text) = 0;
  // Queues one whole text frame as send_text does (same order, never interleaved) but returns at
  // once, without waiting for the write. A frame that cannot be delivered is handed to `sink`, if
  // it still exists, later on the connection's executor. Returns false when the connection cannot
  // queue this way; the caller then sends through send_text.
  virtual bool post_text(const Text& text, const std::weak_ptr<UndeliveredFrames>& sink) { return false; }

 private:
  std::string received_;  // what receive_view() last handed out, by default
};

using PeerPtr = std::shared_ptr<PeerConnection>;

// Raised by sends to a peer whose connection is gone.
class PeerClosedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace switchyard
