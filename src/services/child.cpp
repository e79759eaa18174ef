// What a child's record does the same way on every system; starting, signalling and reaping
// are process.cpp's (POSIX) and process_win.cpp's (Windows).
#include "services/process.hpp"

#include <mutex>
#include <utility>

namespace corvane::process {

std::optional<int> Child::exit_status() const {
  std::lock_guard lock(mutex_);
  if (!reaped_) return std::nullopt;
  return status_;
}

void Child::on_exit(std::function<void(int)> handler) {
  std::lock_guard lock(mutex_);
  on_exit_ = std::move(handler);
}

}  // namespace corvane::process
