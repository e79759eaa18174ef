#pragma once
// One WebSocket connection over a TCP socket: the server side of the framing, a receive path,
// and a FIFO write queue that sends everything queued in one gather write.
#include "switchyard/peer.hpp"
#include "transport/outbound_budget.hpp"
#include "transport/ws_codec.hpp"

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <deque>

namespace switchyard::transport {

struct SessionLimits {
  std::size_t max_message = 64u * 1024 * 1024;
  // What a peer that stops reading may make the server hold (shared by the connections of one
  // listener); null: a budget of the default caps for this connection alone.
  std::shared_ptr<OutboundBudget> budget;
};

class WsSession final : public PeerConnection,
                        public OutboundBudget::Holder,
                        public std::enable_shared_from_this<WsSession> {
 public:
  // `handshake_response`: the 101 response to write on accept (or before a rejecting close).
  // `leftover`: bytes read past the handshake request.
  WsSession(asio::ip::tcp::socket socket, std::string handshake_response, std::string_view leftover,
            SessionLimits limits, Logger log, std::string peer_name);
  ~WsSession() override;

  awaitable<void> accept() override;
  awaitable<void> close(std::uint16_t code, std::string reason) override;
  awaitable<std::optional<std::string>> receive() override;
  awaitable<std::optional<std::string_view>> receive_view() override;
  awaitable<void> send_text(Text text) override;
  bool post_text(const Text& text, const std::weak_ptr<UndeliveredFrames>& sink) override;

  // After the endpoint is done: finish the closing handshake (bounded) and close the socket.
  awaitable<void> finish();
  // Closes the socket at once; queued frames fail.
  void abort();
  bool is_open() const { return !closed_; }

  // ---- OutboundBudget::Holder
  std::size_t unsent() const override { return unsent_bytes_; }
  // Drops the unsent frames (reported undelivered), closes with 1008 and ends the connection
  // soon after, whether or not the peer reads the close frame.
  void cut_off() override;

 private:
  using Done = asio::any_completion_handler<void(boost::system::error_code)>;
  struct OutFrame {
    std::string head;  // frame header, or raw bytes (handshake response, control frame)
    Text payload;      // null for raw bytes
    Done done;         // may be empty
    std::weak_ptr<UndeliveredFrames> undelivered;  // told when the frame fails (post_text)
  };

  // Queues bytes for writing; when the connection is closed, `done` fails at once.
  void enqueue(std::string head, Text payload, Done done, std::weak_ptr<UndeliveredFrames> undelivered = {});
  // Completes the frame's waiter, or reports the frame as undelivered, with `ec`.
  void settle(OutFrame& frame, const boost::system::error_code& ec);
  void report_undelivered(const std::weak_ptr<UndeliveredFrames>& sink, const Text& frame);
  void schedule_write();
  void start_write();
  void on_write(const boost::system::error_code& ec);
  void fail_queued(const boost::system::error_code& ec);
  void complete(Done& done, const boost::system::error_code& ec);
  awaitable<void> wait_flushed(std::chrono::milliseconds limit);
  void queue_close(std::uint16_t code, std::string_view reason);
  // What the bytes read so far hold next, pings answered and closes handled on the way: a
  // message (in `event`), the end of the connection, or nothing yet (read more).
  enum class Next { kMessage, kEnd, kRead };
  Next take_event(ws::FrameReader::Event& event);
  // After a read: true when it failed (the connection is then closed).
  bool read_failed(const boost::system::error_code& ec, std::size_t n);

  asio::ip::tcp::socket socket_;
  asio::any_io_executor ex_;
  SessionLimits limits_;
  Logger log_;
  std::string peer_name_;
  std::string handshake_response_;
  ws::FrameReader reader_;

  std::deque<OutFrame> queue_;
  std::vector<OutFrame> inflight_;
  std::string linear_;
  std::vector<asio::const_buffer> buffers_;
  std::size_t queued_bytes_ = 0;    // queued, being written included
  std::size_t inflight_bytes_ = 0;  // being written
  std::size_t unsent_bytes_ = 0;    // queued and not being written
  std::shared_ptr<OutboundBudget> budget_;
  bool cut_off_ = false;
  bool writing_ = false;
  bool write_scheduled_ = false;

  bool accepted_ = false;
  bool close_sent_ = false;
  bool peer_closed_ = false;
  bool closed_ = false;
};

}  // namespace switchyard::transport
