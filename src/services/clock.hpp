#pragma once
// The clock of every timer that measures a span of the server's own behaviour: a batching window,
// a request's time limit, a settling pause, an installer's time limit. It reads the steady clock.
//
// The unit-test fixture holds it still and moves it by hand, so that what a test checks never
// depends on how fast the machine runs; nothing else ever holds it. Timers that only poll for an
// outside event (a process exit) keep the steady clock.
#include <boost/asio/basic_waitable_timer.hpp>

#include <atomic>
#include <chrono>

namespace corvane {

struct Clock {
  using duration = std::chrono::steady_clock::duration;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<Clock>;
  static constexpr bool is_steady = true;

  static time_point now() noexcept {
    if (held_.load(std::memory_order_relaxed)) [[unlikely]]
      return time_point(duration(held_at_.load(std::memory_order_relaxed)));
    return time_point(std::chrono::steady_clock::now().time_since_epoch());
  }

  // ---- for the unit-test fixture only
  // Stops the clock where it stands; from then on only advance() moves it.
  static void hold() noexcept {
    held_at_.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    held_.store(true, std::memory_order_relaxed);
  }
  static void advance(duration d) noexcept { held_at_.fetch_add(d.count(), std::memory_order_relaxed); }
  // Lets the clock follow the steady clock again.
  static void release() noexcept { held_.store(false, std::memory_order_relaxed); }

 private:
  static inline std::atomic<bool> held_{false};
  static inline std::atomic<rep> held_at_{0};
};

using Timer = boost::asio::basic_waitable_timer<Clock>;

}  // namespace corvane
