#include "services/pipe_process.hpp"
#include "services/clock.hpp"
#include "services/pipe_stream.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include <deque>
#include <stdexcept>

namespace corvane {

namespace asio = boost::asio;
using asio::awaitable;

// ---- registry --------------------------------------------------------------------------------

void ProcessRegistry::add(const std::shared_ptr<process::Child>& child) {
  std::lock_guard lock(mutex_);
  std::erase_if(children_, [](const auto& weak) { return weak.expired(); });
  children_.push_back(child);
}

void ProcessRegistry::kill_all() {
  std::vector<std::shared_ptr<process::Child>> live;
  {
    std::lock_guard lock(mutex_);
    for (auto& weak : children_)
      if (auto child = weak.lock()) live.push_back(std::move(child));
  }
  for (auto& child : live)
    if (child->kill_tree()) child->kill();
}

std::size_t ProcessRegistry::running() {
  std::vector<std::shared_ptr<process::Child>> live;
  {
    std::lock_guard lock(mutex_);
    for (auto& weak : children_)
      if (auto child = weak.lock()) live.push_back(std::move(child));
  }
  std::size_t n = 0;
  for (auto& child : live) n += child->alive() ? 1 : 0;
  return n;
}

// ---- small helpers ---------------------------------------------------------------------------

std::string sanitize_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    unsigned cp = 0;
    if (c < 0x80) len = 1, cp = c;
    else if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
    bool ok = len > 0 && i + len <= s.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values above U+10FFFF are invalid too.
    if (ok && ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))))
      ok = false;
    if (ok) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

awaitable<void> throw_if_cancelled() {
  auto state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none)
    throw boost::system::system_error(asio::error::operation_aborted);
}

struct Notifier::Impl {
  explicit Impl(asio::any_io_executor ex) : timer(ex, asio::steady_timer::time_point::max()) {}
  // Never re-armed: cancel() wakes every current waiter and later waits block again.
  asio::steady_timer timer;
};

Notifier::Notifier(asio::any_io_executor ex) : impl_(std::make_unique<Impl>(ex)) {}
Notifier::~Notifier() = default;

awaitable<void> Notifier::wait() {
  boost::system::error_code ec;
  co_await impl_->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  co_await throw_if_cancelled();
}

void Notifier::notify_all() { impl_->timer.cancel(); }

// ---- the process -----------------------------------------------------------------------------

struct PipeProcess::State {
  State(asio::any_io_executor ex) : out(ex), err(ex), wake(ex), deadline(ex) {}
  process::PipeStream out;
  process::PipeStream err;
  Notifier wake;
  Timer deadline;
  std::shared_ptr<process::Child> child;
  std::deque<Line> lines;
  int open_streams = 2;
  bool timed_out = false;
  bool closed = false;  // the handle went away: readers stop
};

namespace {

constexpr std::size_t kMaxLine = 64 * 1024;

awaitable<void> read_lines(std::shared_ptr<PipeProcess::State> st, bool is_stderr) {
  auto& stream = is_stderr ? st->err : st->out;
  std::string pending;
  char buffer[4096];
  auto emit = [&](std::string_view text) {
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    st->lines.push_back({is_stderr, sanitize_utf8(text)});
    st->wake.notify_all();
  };
  while (!st->closed) {
    boost::system::error_code ec;
    std::size_t n = co_await stream.async_read_some(asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, ec));
    if (st->closed) break;
    if (ec) break;  // end of file or a closed descriptor
    pending.append(buffer, n);
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1)
      emit(std::string_view(pending).substr(start, nl - start));
    pending.erase(0, start);
    if (pending.size() > kMaxLine) {
      emit(pending);
      pending.clear();
    }
  }
  if (!pending.empty() && !st->closed) emit(pending);
  --st->open_streams;
  st->wake.notify_all();
}

}  // namespace

PipeProcess::PipeProcess(asio::any_io_executor ex, const std::vector<std::string>& argv, const Options& options)
    : state_(std::make_shared<State>(ex)) {
  process::SpawnOptions spawn_options;
  spawn_options.env = options.env;
  spawn_options.in = process::Stdio::null;
  spawn_options.out = process::Stdio::pipe;
  spawn_options.err = process::Stdio::pipe;
  std::string error;
  process::Spawned spawned = process::spawn(argv, spawn_options, error);
  if (!spawned) throw std::runtime_error(error);
  state_->child = spawned.child;
  if (options.registry) options.registry->add(state_->child);
  state_->out.assign(spawned.out);
  state_->err.assign(spawned.err);
  asio::co_spawn(ex, read_lines(state_, false), asio::detached);
  asio::co_spawn(ex, read_lines(state_, true), asio::detached);
  if (options.time_limit.count() > 0) {
    state_->deadline.expires_after(options.time_limit);
    state_->deadline.async_wait([weak = std::weak_ptr<State>(state_)](const boost::system::error_code& ec) {
      auto st = weak.lock();
      if (ec || !st || !st->child->alive()) return;
      st->timed_out = true;
      if (st->child->kill_tree()) st->child->kill();
    });
  }
}

PipeProcess::~PipeProcess() {
  state_->deadline.cancel();
  kill();
  state_->closed = true;
  boost::system::error_code ec;
  state_->out.close(ec);
  state_->err.close(ec);
  state_->child->alive();  // reaps it when it is already gone
}

void PipeProcess::kill() {
  if (state_->child->alive() && state_->child->kill_tree()) state_->child->kill();
}

bool PipeProcess::timed_out() const { return state_->timed_out; }

awaitable<std::optional<PipeProcess::Line>> PipeProcess::next_line() {
  auto st = state_;
  while (st->lines.empty() && st->open_streams > 0) co_await st->wake.wait();
  if (st->lines.empty()) co_return std::nullopt;
  Line line = std::move(st->lines.front());
  st->lines.pop_front();
  co_return line;
}

awaitable<int> PipeProcess::wait() {
  auto st = state_;
  asio::steady_timer pause(co_await asio::this_coro::executor);
  // The streams are closed, so the process is ending; the time limit still applies meanwhile.
  while (st->child->alive()) {
    pause.expires_after(std::chrono::milliseconds(5));
    co_await pause.async_wait(asio::use_awaitable);
  }
  st->deadline.cancel();
  co_return st->child->exit_status().value_or(-1);
}

}  // namespace corvane
