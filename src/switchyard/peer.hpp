#pragma once
// How the server logic sees one WebSocket peer. The transport implements it over a socket;
// tests implement it in memory.
#include "switchyard/common.hpp"

#include <cstdint>
#include <optional>

namespace switchyard {

class PeerConnection {
 public:
  virtual ~PeerConnection() = default;

  // Completes the opening handshake.
  virtual awaitable<void> accept() = 0;
  // Sends a close frame with `code` and `reason` and ends the connection.
  virtual awaitable<void> close(std::uint16_t code, std::string reason) = 0;
  // The next text message; nullopt once the peer has disconnected.
  virtual awaitable<std::optional<std::string>> receive() = 0;
  // Sends one whole text frame and waits until it has been written. Frames of concurrent
  // senders never interleave and leave in the order the sends were started. Throws when the
  // frame cannot be delivered (connection closed).
  virtual awaitable<void> send_text(Text text) = 0;
};

using PeerPtr = std::shared_ptr<PeerConnection>;

// Raised by sends to a peer whose connection is gone.
class PeerClosedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace switchyard
