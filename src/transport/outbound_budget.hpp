#pragma once
// What the server may hold for peers that do not read: the bytes queued for a connection and not
// yet being written, capped per connection and for all connections together. Past a cap the
// connection with the most unsent bytes is cut off; the others keep every message.
#include <cstddef>
#include <set>

namespace switchyard::transport {

class OutboundBudget {
 public:
  // A connection the budget may cut off.
  class Holder {
   public:
    virtual ~Holder() = default;
    // Unsent bytes queued for this connection.
    virtual std::size_t unsent() const = 0;
    // Drop what is queued and close (the budget was exceeded because of this connection).
    virtual void cut_off() = 0;
  };

  static constexpr std::size_t kDefaultPerConnection = 64u * 1024 * 1024;
  static constexpr std::size_t kDefaultTotal = 256u * 1024 * 1024;

  explicit OutboundBudget(std::size_t per_connection = kDefaultPerConnection, std::size_t total = kDefaultTotal)
      : per_connection_(per_connection), total_cap_(total) {}

  void join(Holder* holder) { holders_.insert(holder); }
  // Leaves with whatever it still held.
  void leave(Holder* holder, std::size_t unsent) {
    holders_.erase(holder);
    total_ -= unsent;
  }
  // The holder's unsent bytes changed by `added` (negative: sent or dropped). Cuts off the holder,
  // or the one holding most, while a cap is exceeded.
  void changed(Holder* holder, std::ptrdiff_t added) {
    total_ += static_cast<std::size_t>(added);
    if (added <= 0 || cutting_) return;
    cutting_ = true;
    if (holder->unsent() > per_connection_) holder->cut_off();
    while (total_ > total_cap_) {
      Holder* largest = nullptr;
      for (Holder* h : holders_)
        if (!largest || h->unsent() > largest->unsent()) largest = h;
      if (!largest || largest->unsent() == 0) break;
      largest->cut_off();
    }
    cutting_ = false;
  }

  std::size_t total() const { return total_; }
  std::size_t per_connection_cap() const { return per_connection_; }

 private:
  std::size_t per_connection_;
  std::size_t total_cap_;
  std::size_t total_ = 0;
  std::set<Holder*> holders_;
  bool cutting_ = false;
};

}  // namespace switchyard::transport
