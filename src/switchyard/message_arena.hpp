#pragma once
// Memory for the small messages a connection receives, one at a time: a message parsed into the
// arena takes its memory from one block that the next message reuses, and is freed all at once
// (its destruction walks nothing). Whatever must outlive the message is copied out of it.
#include "switchyard/common.hpp"

#include <boost/json/monotonic_resource.hpp>

#include <optional>

#if defined(__SANITIZE_ADDRESS__)
#define SWITCHYARD_ARENA_FREES_EACH_MESSAGE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SWITCHYARD_ARENA_FREES_EACH_MESSAGE 1
#endif
#endif
#ifndef SWITCHYARD_ARENA_FREES_EACH_MESSAGE
#define SWITCHYARD_ARENA_FREES_EACH_MESSAGE 0
#endif

namespace switchyard {

class MessageArena {
 public:
  // Messages longer than this are parsed straight into the default storage: they would only be
  // copied out again, and large ones would be held twice.
  static constexpr std::size_t kMaxText = 64 * 1024;

  // `upstream`: where blocks beyond the arena's own come from (tests count them).
  explicit MessageArena(json::storage_ptr upstream = {})
      : buffer_(SWITCHYARD_ARENA_FREES_EACH_MESSAGE ? nullptr : new unsigned char[kBlock]),
        upstream_(std::move(upstream)) {
    reset();
  }
  MessageArena(const MessageArena&) = delete;
  MessageArena& operator=(const MessageArena&) = delete;

  // The storage to parse a message of `size` bytes into.
  json::storage_ptr storage_for(std::size_t size) {
    return size <= kMaxText ? json::storage_ptr(&*resource_) : json::storage_ptr();
  }

  // Frees every value parsed into the arena; none may be used afterwards. The resource is made
  // anew: a released one would keep doubling the size of the blocks it takes for overflow.
  void reset() {
    if (buffer_) resource_.emplace(buffer_.get(), kBlock, upstream_);
    // Under the address sanitizer no block is reused: every message's memory is freed here, so
    // that a value used afterwards is reported.
    else resource_.emplace(std::size_t{1024}, upstream_);
  }

 private:
  static constexpr std::size_t kBlock = 8 * 1024;
  std::unique_ptr<unsigned char[]> buffer_;
  json::storage_ptr upstream_;
  std::optional<json::monotonic_resource> resource_;
};

}  // namespace switchyard
