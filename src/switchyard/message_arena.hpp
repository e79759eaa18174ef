#pragma once
// Memory for the small messages a connection receives, one at a time: a message parsed into the
// arena takes its memory from one block that the next message reuses, and is freed all at once
// (its destruction walks nothing). Whatever must outlive the message is copied out of it.
#include "switchyard/common.hpp"

#include <boost/json/monotonic_resource.hpp>

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

  MessageArena()
#if SWITCHYARD_ARENA_FREES_EACH_MESSAGE
      // Under the address sanitizer no block is reused: every message's memory is freed on
      // reset, so that a value used afterwards is reported.
      : resource_(std::size_t{1024}),
#else
      : buffer_(new unsigned char[kBlock]),
        resource_(buffer_.get(), kBlock),
#endif
        storage_(&resource_) {
  }
  MessageArena(const MessageArena&) = delete;
  MessageArena& operator=(const MessageArena&) = delete;

  // The storage to parse a message of `size` bytes into.
  json::storage_ptr storage_for(std::size_t size) const { return size <= kMaxText ? storage_ : json::storage_ptr(); }
  // Frees every value parsed into the arena; none may be used afterwards.
  void reset() { resource_.release(); }

 private:
  static constexpr std::size_t kBlock = 8 * 1024;
  std::unique_ptr<unsigned char[]> buffer_;
  json::monotonic_resource resource_;
  json::storage_ptr storage_;
};

}  // namespace switchyard
