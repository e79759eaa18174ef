#include "transport/ws_session.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

namespace switchyard::transport {

namespace {
constexpr std::size_t kReadChunk = 64 * 1024;
// Payloads below this are copied into one contiguous buffer; larger ones are written in place.
constexpr std::size_t kCopyLimit = 16 * 1024;
constexpr std::size_t kMaxFramesPerWrite = 1024;
}  // namespace

WsSession::WsSession(asio::ip::tcp::socket socket, std::string handshake_response, std::string_view leftover,
                     SessionLimits limits, Logger log, std::string peer_name)
    : socket_(std::move(socket)),
      ex_(socket_.get_executor()),
      limits_(limits),
      log_(std::move(log)),
      peer_name_(std::move(peer_name)),
      handshake_response_(std::move(handshake_response)),
      reader_(limits.max_message),
      budget_(limits.budget ? limits.budget : std::make_shared<OutboundBudget>()) {
  budget_->join(this);
  if (!leftover.empty()) reader_.feed(leftover);
  boost::system::error_code ec;
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
}

WsSession::~WsSession() {
  budget_->leave(this, unsent_bytes_);
  boost::system::error_code ec;
  socket_.close(ec);
}

void WsSession::complete(Done& done, const boost::system::error_code& ec) {
  if (!done) return;
  asio::post(ex_, [d = std::move(done), ec]() mutable { std::move(d)(ec); });
}

void WsSession::report_undelivered(const std::weak_ptr<UndeliveredFrames>& sink, const Text& frame) {
  if (sink.expired()) return;
  asio::post(ex_, [sink, frame] {
    if (auto s = sink.lock()) s->undelivered(frame);
  });
}

void WsSession::settle(OutFrame& frame, const boost::system::error_code& ec) {
  complete(frame.done, ec);
  if (ec && frame.payload) report_undelivered(frame.undelivered, frame.payload);
}

void WsSession::enqueue(std::string head, Text payload, Done done, std::weak_ptr<UndeliveredFrames> undelivered) {
  OutFrame frame{std::move(head), std::move(payload), std::move(done), std::move(undelivered)};
  if (closed_) {
    settle(frame, asio::error::not_connected);
    return;
  }
  std::size_t bytes = frame.head.size() + (frame.payload ? frame.payload->size() : 0);
  queued_bytes_ += bytes;
  unsent_bytes_ += bytes;
  queue_.push_back(std::move(frame));
  // May cut this connection (or the one holding most) off.
  budget_->changed(this, static_cast<std::ptrdiff_t>(bytes));
  schedule_write();
}

void WsSession::cut_off() {
  if (cut_off_ || closed_) return;
  cut_off_ = true;
  log_->warn("Closing connection {}: it does not read what is sent to it ({} bytes waiting)", peer_name_,
             unsent_bytes_);
  fail_queued(asio::error::no_buffer_space);
  queue_close(ws::kClosePolicy, "too much unsent data");
  // A peer that reads nothing will not read the close frame either.
  auto timer = std::make_shared<asio::steady_timer>(ex_, std::chrono::seconds(1));
  timer->async_wait([self = shared_from_this(), timer](const boost::system::error_code& ec) {
    if (!ec) self->abort();
  });
}

void WsSession::schedule_write() {
  if (writing_ || write_scheduled_ || queue_.empty()) return;
  // Start the write after the tasks already waiting to run have had their turn, so that the
  // frames they queue leave in the same write.
  write_scheduled_ = true;
  asio::post(ex_, [self = shared_from_this()] {
    self->write_scheduled_ = false;
    self->start_write();
  });
}

void WsSession::start_write() {
  if (writing_ || queue_.empty() || closed_) return;
  writing_ = true;
  inflight_.clear();
  buffers_.clear();
  inflight_bytes_ = 0;
  std::size_t linear_total = 0;
  while (!queue_.empty() && inflight_.size() < kMaxFramesPerWrite) {
    OutFrame& f = queue_.front();
    std::size_t payload = f.payload ? f.payload->size() : 0;
    inflight_bytes_ += f.head.size() + payload;
    linear_total += f.head.size() + (payload < kCopyLimit ? payload : 0);
    inflight_.push_back(std::move(f));
    queue_.pop_front();
  }
  unsent_bytes_ -= inflight_bytes_;
  budget_->changed(this, -static_cast<std::ptrdiff_t>(inflight_bytes_));
  linear_.clear();
  linear_.reserve(linear_total);  // no reallocation below: buffers point into it
  std::size_t segment = 0;
  for (const OutFrame& f : inflight_) {
    linear_ += f.head;
    if (!f.payload) continue;
    if (f.payload->size() < kCopyLimit) {
      linear_ += *f.payload;
    } else {
      if (linear_.size() > segment) buffers_.emplace_back(linear_.data() + segment, linear_.size() - segment);
      buffers_.emplace_back(f.payload->data(), f.payload->size());
      segment = linear_.size();
    }
  }
  if (linear_.size() > segment) buffers_.emplace_back(linear_.data() + segment, linear_.size() - segment);
  asio::async_write(socket_, buffers_, [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
    self->on_write(ec);
  });
}

void WsSession::on_write(const boost::system::error_code& ec) {
  writing_ = false;
  queued_bytes_ -= inflight_bytes_;
  inflight_bytes_ = 0;
  for (OutFrame& f : inflight_) settle(f, ec);
  inflight_.clear();
  if (ec) {
    abort();
    return;
  }
  start_write();
}

void WsSession::fail_queued(const boost::system::error_code& ec) {
  for (OutFrame& f : queue_) settle(f, ec);
  queue_.clear();
  queued_bytes_ = inflight_bytes_;
  budget_->changed(this, -static_cast<std::ptrdiff_t>(unsent_bytes_));
  unsent_bytes_ = 0;
}

void WsSession::abort() {
  if (closed_) return;
  closed_ = true;
  fail_queued(asio::error::not_connected);
  boost::system::error_code ec;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  socket_.close(ec);
}

awaitable<void> WsSession::accept() {
  if (accepted_) co_return;
  accepted_ = true;
  auto token = asio::as_tuple(asio::use_awaitable);
  auto [ec] = co_await asio::async_initiate<decltype(token), void(boost::system::error_code)>(
      [this](auto handler) { enqueue(std::move(handshake_response_), nullptr, Done(std::move(handler))); }, token);
  if (ec) throw PeerClosedError("connection closed during the handshake");
}

void WsSession::queue_close(std::uint16_t code, std::string_view reason) {
  if (close_sent_) return;
  if (!accepted_) {
    accepted_ = true;
    enqueue(std::move(handshake_response_), nullptr, Done());
  }
  close_sent_ = true;
  enqueue(ws::make_close_frame(code, reason), nullptr, Done());
}

awaitable<void> WsSession::close(std::uint16_t code, std::string reason) {
  queue_close(code, reason);
  co_await wait_flushed(std::chrono::milliseconds(2000));
}

awaitable<void> WsSession::wait_flushed(std::chrono::milliseconds limit) {
  asio::steady_timer timer(ex_);
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!closed_ && (writing_ || write_scheduled_ || !queue_.empty()) && std::chrono::steady_clock::now() < deadline) {
    timer.expires_after(std::chrono::milliseconds(2));
    co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
  }
}

WsSession::Next WsSession::take_event(ws::FrameReader::Event& event) {
  while (true) {
    event = reader_.next_view();
    switch (event.kind) {
      case ws::FrameReader::Kind::kMessage:
        return Next::kMessage;
      case ws::FrameReader::Kind::kPing:
        if (!close_sent_) {
          std::string pong = ws::make_frame(ws::kPong, event.payload);
          enqueue(std::move(pong), nullptr, Done());
        }
        continue;
      case ws::FrameReader::Kind::kPong:
        continue;
      case ws::FrameReader::Kind::kClose:
        peer_closed_ = true;
        // Echo the peer's code; a close without one is answered with a normal close.
        queue_close(event.code == 1005 ? ws::kCloseNormal : event.code, "");
        return Next::kEnd;
      case ws::FrameReader::Kind::kError:
        if (event.code == ws::kCloseTooBig)
          log_->warn("Closing connection {}: message larger than {} bytes", peer_name_, limits_.max_message);
        queue_close(event.code, event.payload);
        return Next::kEnd;
      case ws::FrameReader::Kind::kNeedMore:
        return closed_ || reader_.finished() ? Next::kEnd : Next::kRead;
    }
  }
}

bool WsSession::read_failed(const boost::system::error_code& ec, std::size_t n) {
  if (ec) {
    peer_closed_ = true;
    abort();
    return true;
  }
  reader_.commit(n);
  return false;
}

awaitable<std::optional<std::string>> WsSession::receive() {
  std::optional<std::string_view> message = co_await receive_view();
  if (!message) co_return std::nullopt;
  co_return std::string(*message);
}

awaitable<std::optional<std::string_view>> WsSession::receive_view() {
  ws::FrameReader::Event event;
  while (true) {
    switch (take_event(event)) {
      case Next::kMessage:
        co_return event.message;
      case Next::kEnd:
        co_return std::nullopt;
      case Next::kRead:
        break;
    }
    char* dst = reader_.prepare(kReadChunk);
    auto [ec, n] = co_await socket_.async_read_some(asio::buffer(dst, kReadChunk), asio::as_tuple(asio::use_awaitable));
    if (read_failed(ec, n)) co_return std::nullopt;
  }
}

awaitable<void> WsSession::send_text(Text text) {
  if (closed_ || close_sent_) throw PeerClosedError("connection to " + peer_name_ + " is closed");
  std::string head;
  ws::append_frame_header(head, ws::kText, text->size());
  auto token = asio::as_tuple(asio::use_awaitable);
  auto [ec] = co_await asio::async_initiate<decltype(token), void(boost::system::error_code)>(
      [this, &head, &text](auto handler) { enqueue(std::move(head), std::move(text), Done(std::move(handler))); },
      token);
  if (ec) throw PeerClosedError("connection to " + peer_name_ + " is closed: " + ec.message());
}

bool WsSession::post_text(const Text& text, const std::weak_ptr<UndeliveredFrames>& sink) {
  if (closed_ || close_sent_) {
    report_undelivered(sink, text);
    return true;
  }
  std::string head;
  ws::append_frame_header(head, ws::kText, text->size());
  enqueue(std::move(head), text, Done(), sink);
  return true;
}

awaitable<void> WsSession::finish() {
  if (closed_) co_return;
  if (!close_sent_) queue_close(ws::kCloseNormal, "");
  co_await wait_flushed(std::chrono::milliseconds(2000));
  if (!peer_closed_ && !closed_) {
    // Give the peer a moment to answer our close frame before the socket goes.
    boost::system::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    asio::steady_timer timer(ex_);
    timer.expires_after(std::chrono::milliseconds(1000));
    timer.async_wait([self = shared_from_this()](const boost::system::error_code& e) {
      if (!e) {
        boost::system::error_code ignored;
        self->socket_.cancel(ignored);
      }
    });
    char sink[4096];
    while (true) {
      auto [rec, n] = co_await socket_.async_read_some(asio::buffer(sink), asio::as_tuple(asio::use_awaitable));
      if (rec) break;
    }
    timer.cancel();
  }
  abort();
}

}  // namespace switchyard::transport
