#pragma once
// A Server on its own event loop with a recording peer connected for each client type, for the
// fuzz targets that drive the server logic.
//
// Nothing may make an input wait on the clock: the kernel restart pauses and the result
// coalescing delay are zero, kernels and installers cannot start (the interpreter does not
// exist), no package index is configured, and a request the server sends to a peer is timed out
// as soon as nothing else is left to run.
#include "check.hpp"

#include "switchyard/handlers.hpp"
#include "switchyard/server.hpp"

#include <boost/asio/io_context.hpp>

#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzing {

namespace asio = boost::asio;
namespace json = boost::json;
using switchyard::awaitable;

// Keeps every frame sent to it; can be told to fail its sends like a peer that went away.
class RecordingPeer : public switchyard::PeerConnection {
 public:
  awaitable<void> accept() override { co_return; }
  awaitable<void> close(std::uint16_t, std::string) override {
    closed = true;
    co_return;
  }
  awaitable<std::optional<std::string>> receive() override { co_return std::nullopt; }
  awaitable<void> send_text(switchyard::Text text) override {
    if (fail_sends) throw switchyard::PeerClosedError("send failed");
    frames.push_back(std::move(text));
    co_return;
  }

  std::vector<switchyard::Text> frames;
  bool fail_sends = false;
  bool closed = false;
};

// Who sends a fuzzed frame.
struct Sender {
  std::string type;
  std::string id;
};

// The connected peers: two add-ins (workbook "wb1" has a kernel, "wb2" has none), the kernel of
// wb1, an editor and an inspector. Senders may also be ids that are not connected ("wb2" as a
// kernel, "ide2", "insp2"), as the bulk entry allows.
//   'a' addin/wb1   'A' addin/wb2   'k' kernel/wb1   'K' kernel/wb2
//   'i' ide/ide1    'I' ide/ide2    'n' inspector/insp1   'N' inspector/insp2
// Any other byte picks one of these eight from its low three bits.
Sender sender_for(unsigned char code);

// Bits of the failure byte: which peers fail their sends.
enum FailingPeers : unsigned { kKernelFails = 1, kAddinFails = 2, kIdeFails = 4 };

class ServerHarness {
 public:
  ServerHarness();
  ~ServerHarness();
  ServerHarness(const ServerHarness&) = delete;
  ServerHarness& operator=(const ServerHarness&) = delete;

  // A fresh Server with the standard peers connected; `failing` is a FailingPeers mask.
  void reset(unsigned failing = 0);
  switchyard::Server& server() { return *server_; }

  // Runs the task and everything it leaves behind (background tasks) until the loop has no
  // work left. Returns how the task ended (null: normally).
  std::exception_ptr run(awaitable<void> task);

  // Aborts unless the task ended normally or with one of the errors a handler may end with
  // when a peer is gone or silent (and the task group logs).
  static void check_outcome(const std::exception_ptr& error);

  // What must hold whenever the loop is idle: no request left waiting, no result left
  // unflushed, reassembly buffers within their caps, every frame sent a JSON object.
  void check_idle_invariants();

  const std::vector<std::shared_ptr<RecordingPeer>>& peers() const { return peers_; }

  // A reply a peer gives to the next request ("..._request") the server sends it whose type
  // matches ("..._response"), or to any request when the reply has no text "type". Replies
  // are taken in the order they were queued; requests nobody answers time out.
  void queue_reply(json::object reply) { replies_.push_back(std::move(reply)); }

 private:
  // Dispatches queued replies to the requests peers have received; returns how many.
  std::size_t answer_requests();
  // Times out every request still waiting for its reply; returns how many were woken.
  std::size_t expire_pending_requests();

  asio::io_context ioc_;
  std::filesystem::path home_;
  std::unique_ptr<switchyard::Server> server_;
  std::vector<std::shared_ptr<RecordingPeer>> peers_;
  std::vector<std::size_t> scanned_;  // per peer: frames already looked at for requests
  std::deque<json::object> replies_;
};

// Depth of a JSON value (a scalar is 0, "[]" is 1).
std::size_t json_depth(const json::value& v);

// Asserts that a reassembly buffer respects the caps and is self-consistent.
void check_chunk_buffer(const switchyard::ChunkAssembler::Buffer& buffer);
// The same for every buffer of every client, and at most kMaxBuffersPerClient per client.
void check_chunk_buffers(const switchyard::ConnectionManager& manager);

}  // namespace fuzzing
