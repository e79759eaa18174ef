#include "server_harness.hpp"

#include "services/logging.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/json/parse.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace fuzzing {

namespace {

struct PeerSpec {
  const char* type;
  const char* id;
};
constexpr PeerSpec kConnected[] = {
    {"addin", "wb1"}, {"addin", "wb2"}, {"kernel", "wb1"}, {"ide", "ide1"}, {"inspector", "insp1"},
};
constexpr PeerSpec kSenders[] = {
    {"addin", "wb1"}, {"addin", "wb2"}, {"kernel", "wb1"},    {"kernel", "wb2"},
    {"ide", "ide1"},  {"ide", "ide2"},  {"inspector", "insp1"}, {"inspector", "insp2"},
};

// Logs are formatted (the formatting sees what peers sent) but go nowhere, unless
// SWITCHYARD_FUZZ_LOG is set, for reading what an input did.
void configure_logging_once() {
  static const bool done = [] {
    corvane::logging::Options options;
    options.level = spdlog::level::debug;
    options.to_stderr = std::getenv("SWITCHYARD_FUZZ_LOG") != nullptr;
    corvane::logging::configure(options);
    return true;
  }();
  (void)done;
}

}  // namespace

Sender sender_for(unsigned char code) {
  std::size_t index;
  switch (code) {
    case 'a': index = 0; break;
    case 'A': index = 1; break;
    case 'k': index = 2; break;
    case 'K': index = 3; break;
    case 'i': index = 4; break;
    case 'I': index = 5; break;
    case 'n': index = 6; break;
    case 'N': index = 7; break;
    default: index = code & 7u;
  }
  return {kSenders[index].type, kSenders[index].id};
}

std::size_t json_depth(const json::value& v) {
  std::size_t deepest = 0;
  if (v.is_array()) {
    for (const auto& item : v.get_array()) deepest = std::max(deepest, json_depth(item));
    return deepest + 1;
  }
  if (v.is_object()) {
    for (const auto& kv : v.get_object()) deepest = std::max(deepest, json_depth(kv.value()));
    return deepest + 1;
  }
  return 0;
}

void check_chunk_buffer(const switchyard::ChunkAssembler::Buffer& buffer) {
  using M = switchyard::ConnectionManager;
  FUZZ_CHECK(buffer.total > 0);
  FUZZ_CHECK(static_cast<std::size_t>(buffer.total) * switchyard::CHUNK_SIZE <= switchyard::ChunkAssembler::kMaxMessageBytes);
  FUZZ_CHECK(buffer.chunks.size() == static_cast<std::size_t>(buffer.total));
  FUZZ_CHECK(buffer.received >= 0 && buffer.received < buffer.total);  // a full buffer never stays
  FUZZ_CHECK(buffer.bytes <= switchyard::ChunkAssembler::kMaxMessageBytes);
  std::size_t bytes = 0;
  std::int64_t filled = 0;
  for (const auto& slot : buffer.chunks) {
    if (!slot) continue;
    bytes += slot->size();
    ++filled;
  }
  FUZZ_CHECK(bytes == buffer.bytes);
  FUZZ_CHECK(filled <= buffer.received);
}

void check_chunk_buffers(const switchyard::ConnectionManager& manager) {
  for (const auto& [client_id, buffers] : manager.chunks.buffers()) {
    FUZZ_CHECK_MSG(buffers.size() <= switchyard::ChunkAssembler::kMaxBuffersPerClient, "client " + client_id);
    for (const auto& [chunk_id, buffer] : buffers) check_chunk_buffer(buffer);
  }
}

ServerHarness::ServerHarness() {
  configure_logging_once();
  char templ[] = "/tmp/switchyard-fuzz-XXXXXX";
  if (!::mkdtemp(templ)) fail(__FILE__, __LINE__, "mkdtemp", "cannot create a home directory");
  home_ = templ;
}

ServerHarness::~ServerHarness() {
  if (server_) {
    server_->cancel_all_tasks();
    ioc_.restart();
    ioc_.poll();
    server_.reset();
  }
  std::error_code ec;
  std::filesystem::remove_all(home_, ec);
}

void ServerHarness::reset(unsigned failing) {
  server_.reset();
  peers_.clear();
  scanned_.clear();
  replies_.clear();
  // What one input wrote (settings, caches) must not change how the next one runs.
  std::error_code ec;
  if (!std::filesystem::is_empty(home_, ec)) {
    std::filesystem::remove_all(home_, ec);
    std::filesystem::create_directories(home_, ec);
  }

  // No package index: the package requests answer from nothing instead of going online.
  std::filesystem::create_directories(home_ / ".corvane", ec);
  std::ofstream(home_ / ".corvane" / "settings.json") << R"({"package_management":{"pip":{"index_urls":[]}}})";

  switchyard::ServerOptions options;
  options.base_dir = home_ / ".corvane";
  options.python_executable = (home_ / "no-such-python").string();
  options.no_inspector = true;
  server_ = std::make_unique<switchyard::Server>(ioc_.get_executor(), options);
  server_->kill_grace_ms = 0;
  server_->restart_pause_ms = 0;
  server_->inspector_settle_seconds = 0;
  server_->_result_batcher.COALESCE_DELAY = 0;

  for (const auto& spec : kConnected) {
    auto peer = std::make_shared<RecordingPeer>();
    std::string_view type = spec.type;
    peer->fail_sends = (type == "kernel" && (failing & kKernelFails)) ||
                       (type == "addin" && std::string_view(spec.id) == "wb1" && (failing & kAddinFails)) ||
                       (type == "ide" && (failing & kIdeFails));
    peers_.push_back(peer);
    scanned_.push_back(0);
    std::exception_ptr error = run(server_->manager.connect(spec.type, spec.id, peer, std::string(spec.id) + " name"));
    FUZZ_CHECK(!error);
  }
}

std::size_t ServerHarness::answer_requests() {
  std::size_t answered = 0;
  for (std::size_t p = 0; p < peers_.size(); ++p) {
    auto& frames = peers_[p]->frames;
    for (; scanned_[p] < frames.size() && !replies_.empty(); ++scanned_[p]) {
      boost::system::error_code ec;
      json::value v = json::parse(*frames[scanned_[p]], ec);
      if (ec || !v.is_object()) continue;
      const json::object& request = v.get_object();
      std::string_view id = switchyard::get_str(request, "request_id");
      std::string_view type = switchyard::get_str(request, "type");
      if (id.empty() || !type.ends_with("_request")) continue;
      std::string wanted = std::string(type.substr(0, type.size() - 8)) + "_response";
      auto match = std::find_if(replies_.begin(), replies_.end(), [&](const json::object& r) {
        return switchyard::get_str(r, "type") == wanted;
      });
      if (match == replies_.end())
        match = std::find_if(replies_.begin(), replies_.end(), [](const json::object& r) {
          auto it = r.find("type");
          return it == r.end() || !it->value().is_string();
        });
      if (match == replies_.end()) continue;
      json::object reply = std::move(*match);
      replies_.erase(match);
      reply["request_id"] = id;
      asio::co_spawn(ioc_,
                     switchyard::handle_message(*server_, kConnected[p].type, kConnected[p].id, std::move(reply)),
                     [](std::exception_ptr e) { check_outcome(e); });
      ++answered;
    }
  }
  return answered;
}

std::size_t ServerHarness::expire_pending_requests() {
  std::size_t woken = 0;
  for (auto& [id, pending] : server_->manager._pending_requests)
    if (!pending->response) woken += pending->timer.cancel();
  return woken;
}

std::exception_ptr ServerHarness::run(awaitable<void> task) {
  std::exception_ptr error;
  bool done = false;
  asio::co_spawn(ioc_, std::move(task), [&](std::exception_ptr e) {
    error = e;
    done = true;
  });
  // Until nothing is left on the loop: the task, the background tasks it started, and the
  // tasks those started. Waits that only a silent peer would end are ended by their timeout.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  ioc_.restart();
  while (true) {
    std::size_t ran = ioc_.poll();
    if (ioc_.stopped()) break;
    if (ran > 0) continue;
    if (answer_requests() > 0) continue;
    if (expire_pending_requests() > 0) continue;
    // Some other timer: let it expire, within a bound.
    ioc_.run_one_for(std::chrono::milliseconds(10));
    if (ioc_.stopped()) break;
    FUZZ_CHECK_MSG(std::chrono::steady_clock::now() < deadline,
                   done ? "the task ended but left work on the loop that never finishes"
                        : "the task keeps waiting on a clock the harness cannot advance");
  }
  FUZZ_CHECK_MSG(done, "the loop ran out of work before the task ended");
  return error;
}

void ServerHarness::check_outcome(const std::exception_ptr& error) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const switchyard::PeerClosedError&) {
  } catch (const switchyard::NotConnectedError&) {
  } catch (const switchyard::RequestTimeoutError&) {
  } catch (const boost::system::system_error& e) {
    FUZZ_CHECK_MSG(e.code() == asio::error::operation_aborted, std::string("task failed: ") + e.what());
  } catch (const std::exception& e) {
    fail(__FILE__, __LINE__, "task ended with an unexpected exception", e.what());
  } catch (...) {
    fail(__FILE__, __LINE__, "task ended with an unexpected exception", "not a std::exception");
  }
}

void ServerHarness::check_idle_invariants() {
  auto& manager = server_->manager;
  FUZZ_CHECK_MSG(manager._pending_requests.empty(), "a request is still registered after its task ended");
  FUZZ_CHECK_MSG(server_->_result_batcher._pending.empty(), "a function result was never flushed");
  FUZZ_CHECK(server_->_result_batcher._flush_tasks.empty());
  check_chunk_buffers(manager);

  json::parse_options deep;
  deep.max_depth = 4096;
  for (const auto& peer : peers_) {
    for (const auto& frame : peer->frames) {
      boost::system::error_code ec;
      json::value v = json::parse(*frame, ec, {}, deep);
      if (ec && frame->find("Infinity") != std::string::npos) {
        // A number beyond the double range leaves as Infinity, as Python's json module writes it.
        std::string finite = *frame;
        for (std::size_t at = finite.find("Infinity"); at != std::string::npos; at = finite.find("Infinity", at))
          finite.replace(at, 8, "1e999");
        v = json::parse(finite, ec, {}, deep);
      }
      FUZZ_CHECK_MSG(!ec && v.is_object(), "the server sent a frame that is not a JSON object: " + frame->substr(0, 200));
    }
  }
}

}  // namespace fuzzing
