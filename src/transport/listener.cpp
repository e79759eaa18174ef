#include "transport/listener.hpp"

#include "transport/http_gate.hpp"
#include "transport/peer_owner.hpp"
#include "transport/ws_session.hpp"

#include "services/json_truth.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/url/parse.hpp>

#include <array>
#include <list>

namespace switchyard::transport {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

Response json_response(http::status status, const json::object& body, const Request* req) {
  Response res{status, req ? req->version() : 11};
  res.set(http::field::server, "switchyard");
  res.set(http::field::content_type, "application/json");
  res.keep_alive(req ? req->keep_alive() : false);
  res.body() = to_json(body);
  res.prepare_payload();
  return res;
}

json::object error_body(std::string_view reason) {
  json::object o;
  o["error"] = reason;
  return o;
}

template <class Key>
std::optional<std::string_view> header(const Request& req, Key key) {
  auto it = req.find(key);
  if (it == req.end()) return std::nullopt;
  return std::string_view(it->value().data(), it->value().size());
}

bool has_token(std::string_view list, std::string_view token) {
  // Comma-separated, case-insensitive tokens.
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    std::string_view item = list.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (item.size() == token.size() &&
        std::equal(item.begin(), item.end(), token.begin(), [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
      return true;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return false;
}

// Closes a session from a task of its own. The task holds the session until the close frame
// has been flushed: the connection's own task may end, and drop its reference, meanwhile.
awaitable<void> close_session(std::shared_ptr<WsSession> session, std::uint16_t code, std::string reason) {
  co_await session->close(code, std::move(reason));
}

}  // namespace

struct Listener::Impl : std::enable_shared_from_this<Impl> {
  Impl(Server& s, ListenerOptions o)
      : server(s), options(std::move(o)), acceptor(s.executor), log(corvane::logging::get_logger("business_layer.transport")) {
    for (auto& origin : options.allowed_origins) origin = normalize_origin(origin);
  }

  Server& server;
  ListenerOptions options;
  tcp::acceptor acceptor;
  Logger log;
  std::size_t open = 0;
  bool stopping = false;
  // Decided once, at start: other users' processes are refused.
  bool own_user_only = true;
  std::list<std::weak_ptr<WsSession>> ws_sessions;
  std::list<beast::tcp_stream*> http_streams;
  // What peers that stop reading may make the server hold, for all WebSocket connections.
  std::shared_ptr<OutboundBudget> outbound = make_outbound_budget();

  std::shared_ptr<OutboundBudget> make_outbound_budget() const {
    auto setting = [&](std::string_view key, std::size_t fallback) {
      json::value v = server.settings_manager.get(key);
      if (v.is_uint64() && v.get_uint64() > 0) return static_cast<std::size_t>(v.get_uint64());
      if (v.is_int64() && v.get_int64() > 0) return static_cast<std::size_t>(v.get_int64());
      return fallback;
    };
    return std::make_shared<OutboundBudget>(
        setting("server.max_unsent_bytes_per_connection", OutboundBudget::kDefaultPerConnection),
        setting("server.max_unsent_bytes", OutboundBudget::kDefaultTotal));
  }

  std::vector<std::string> allowed_origins() const {
    std::vector<std::string> out = options.allowed_origins;
    json::value configured = server.settings_manager.get("server.allowed_origins");
    if (configured.is_array())
      for (const auto& o : configured.get_array())
        if (o.is_string()) out.push_back(normalize_origin(std::string_view(o.get_string())));
    return out;
  }

  awaitable<void> accept_loop() {
    auto self = shared_from_this();
    while (!stopping) {
      auto [ec, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
      if (ec) {
        if (stopping || ec == asio::error::operation_aborted) break;
        // Out of descriptors or a transient failure: back off briefly.
        asio::steady_timer pause(server.executor, std::chrono::milliseconds(50));
        co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
        continue;
      }
      if (open >= options.max_connections) {
        asio::co_spawn(server.executor, refuse_busy(std::move(socket)), asio::detached);
        continue;
      }
      ++open;
      asio::co_spawn(server.executor, http_session(std::move(socket)), [self](std::exception_ptr e) {
        --self->open;
        if (!e) return;
        try {
          std::rethrow_exception(e);
        } catch (const std::exception& ex) {
          self->log->error("Connection ended with an error: {}", ex.what());
        }
      });
    }
  }

  awaitable<void> refuse_busy(tcp::socket socket) {
    static const std::string kBusy =
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: 32\r\n"
        "Connection: close\r\n\r\n{\"error\": \"too many connections\"}";
    log->warn("Refusing a connection: {} connections are open", open);
    co_await asio::async_write(socket, asio::buffer(kBusy), asio::as_tuple(asio::use_awaitable));
    boost::system::error_code ec;
    socket.shutdown(tcp::socket::shutdown_both, ec);
  }

  awaitable<void> http_session(tcp::socket socket) {
    auto self = shared_from_this();
    beast::tcp_stream stream(std::move(socket));
    http_streams.push_back(&stream);
    auto stream_it = std::prev(http_streams.end());
    struct Unlist {
      std::list<beast::tcp_stream*>& list;
      std::list<beast::tcp_stream*>::iterator it;
      bool active = true;
      void release() {
        if (active) list.erase(it);
        active = false;
      }
      ~Unlist() { release(); }
    } unlist{http_streams, stream_it};

    beast::flat_buffer buffer;
    if (own_user_only) {
      PeerOwner owner = owner_of(stream.socket());
      if (owner.verdict != PeerOwner::Verdict::same_user) {
        co_await refuse_stranger(stream, buffer, owner);
        co_return;
      }
    }
    while (!stopping) {
      http::request_parser<http::string_body> parser;
      parser.header_limit(static_cast<std::uint32_t>(options.max_header_bytes));
      parser.body_limit(options.max_body_bytes);
      stream.expires_after(options.request_timeout);
      auto [ec, n] = co_await http::async_read(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
      if (ec) {
        if (ec == http::error::body_limit) {
          co_await write(stream, json_response(http::status::payload_too_large, error_body("request body too large"), nullptr));
        } else if (ec == http::error::header_limit) {
          co_await write(stream, json_response(http::status::request_header_fields_too_large,
                                               error_body("request header too large"), nullptr));
        } else if (ec != http::error::end_of_stream && ec != beast::error::timeout &&
                   ec != asio::error::operation_aborted && ec != asio::error::eof &&
                   ec != asio::error::connection_reset && ec != http::error::partial_message) {
          co_await write(stream, json_response(http::status::bad_request, error_body(ec.message()), nullptr));
        }
        break;
      }
      Request req = parser.release();
      stream.expires_never();

      GateResult gate = check_gate(header(req, http::field::host), header(req, http::field::origin),
                                   header(req, std::string_view("Sec-Fetch-Site")), allowed_origins());
      if (!gate.allowed) {
        log->warn("Refused {} {}: {}", std::string_view(req.method_string()), std::string_view(req.target()), gate.reason);
        Response res = json_response(http::status::forbidden, error_body(gate.reason), &req);
        res.keep_alive(false);
        co_await write(stream, std::move(res));
        break;
      }

      auto target = boost::urls::parse_origin_form(std::string_view(req.target()));
      if (!target) {
        co_await write(stream, json_response(http::status::bad_request, error_body("invalid request target"), &req));
        break;
      }
      std::vector<std::string> segments;
      for (auto seg : target->segments()) segments.push_back(seg);

      if (segments.size() == 3 && segments[0] == "ws") {
        if (!has_token(std::string_view(req[http::field::upgrade]), "websocket")) {
          co_await write(stream, json_response(http::status::upgrade_required, error_body("WebSocket upgrade required"), &req));
          if (!req.keep_alive()) break;
          continue;
        }
        unlist.release();
        co_await upgrade(stream, buffer, std::move(req), std::move(segments[1]), std::move(segments[2]), *target);
        co_return;
      }

      Response res = co_await route(req, *target, segments);
      bool keep = res.keep_alive();
      co_await write(stream, std::move(res));
      if (!keep) break;
    }
    boost::system::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
  }

  static PeerOwner owner_of(tcp::socket& socket) {
    boost::system::error_code local_error, remote_error;
    auto local = socket.local_endpoint(local_error);
    auto remote = socket.remote_endpoint(remote_error);
    if (local_error || remote_error) {
      PeerOwner unknown;
      unknown.why = "no address for the connection: " + (local_error ? local_error : remote_error).message();
      return unknown;
    }
    return find_peer_owner(local, remote);
  }

  // Answers a process of another user (or of nobody known) with 403. Only the request's header is
  // read, for the log line; nothing of it is routed.
  awaitable<void> refuse_stranger(beast::tcp_stream& stream, beast::flat_buffer& buffer, const PeerOwner& owner) {
    http::request_parser<http::empty_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(options.max_header_bytes));
    stream.expires_after(options.request_timeout);
    auto [ec, n] = co_await http::async_read_header(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
    if (stopping) co_return;
    // The request line is known once it has been parsed, even when a later header line fails.
    const auto& head = parser.get();
    std::string request = head.target().empty()
                              ? "no request line (" + (ec ? ec.message() : std::string("empty")) + ")"
                              : std::string(head.method_string()) + " " + std::string(head.target());
    std::string reason;
    if (owner.verdict == PeerOwner::Verdict::other_user) {
      log->warn("Refused a request from another user's process ({}): {}", owner.who, request);
      reason = "the connecting process belongs to another user";
    } else {
      log->warn("Refused a request from a process whose owner could not be determined ({}): {}", owner.why, request);
      reason = "the owner of the connecting process could not be determined";
    }
    if (ec == asio::error::eof || ec == asio::error::connection_reset || ec == beast::error::timeout) co_return;
    co_await write(stream, json_response(http::status::forbidden, error_body(reason), nullptr));

    // Read and drop what else it sends (a body, most often) until it closes: closing with unread
    // bytes would reset the connection, and the client could lose the answer.
    boost::system::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    constexpr std::size_t kDrainLimit = 1024 * 1024;
    std::size_t drained = buffer.size();
    buffer.clear();
    std::array<char, 16 * 1024> sink;
    stream.expires_after(options.request_timeout);
    while (drained < kDrainLimit && !stopping) {
      auto [read_error, got] = co_await stream.async_read_some(asio::buffer(sink), asio::as_tuple(asio::use_awaitable));
      if (read_error) break;
      drained += got;
    }
  }

  awaitable<void> write(beast::tcp_stream& stream, Response res) {
    stream.expires_after(options.request_timeout);
    co_await http::async_write(stream, res, asio::as_tuple(asio::use_awaitable));
  }

  awaitable<Response> route(const Request& req, const boost::urls::url_view& target,
                            const std::vector<std::string>& segments) {
    const bool get = req.method() == http::verb::get;
    const bool post = req.method() == http::verb::post;
    if (segments.empty() || (segments.size() == 1 && segments[0].empty())) {
      if (!get) co_return json_response(http::status::method_not_allowed, error_body("Method Not Allowed"), &req);
      co_return json_response(http::status::ok, server.root(), &req);
    }
    if (segments.size() == 1 && segments[0] == "connections") {
      if (!get) co_return json_response(http::status::method_not_allowed, error_body("Method Not Allowed"), &req);
      co_return json_response(http::status::ok, server.get_connections(), &req);
    }
    if (segments[0] == "bulk_message" && (segments.size() == 2 || segments.size() == 1)) {
      std::string text;
      if (segments.size() == 2 && get) {
        // The text as it was sent: the bulk entry does its own URL unquoting.
        auto encoded = target.encoded_segments();
        auto it = encoded.begin();
        ++it;
        text = std::string((*it).data(), (*it).size());
      } else if (segments.size() == 1 && post) {
        text = req.body();
      } else {
        co_return json_response(http::status::method_not_allowed, error_body("Method Not Allowed"), &req);
      }
      try {
        json::object result = co_await bulk_message(server, std::move(text));
        co_return json_response(http::status::ok, result, &req);
      } catch (const BulkDecodeError& e) {
        co_return json_response(http::status::bad_request, error_body(e.what()), &req);
      }
    }
    co_return json_response(http::status::not_found, error_body("Not Found"), &req);
  }

  awaitable<void> upgrade(beast::tcp_stream& stream, beast::flat_buffer& buffer, Request req, std::string client_type,
                          std::string client_id, const boost::urls::url_view& target) {
    auto key = header(req, http::field::sec_websocket_key);
    auto version = header(req, http::field::sec_websocket_version);
    if (req.method() != http::verb::get || !has_token(std::string_view(req[http::field::connection]), "upgrade")) {
      co_await write(stream, json_response(http::status::bad_request, error_body("invalid WebSocket handshake"), &req));
      co_return;
    }
    if (!version || *version != "13") {
      Response res = json_response(http::status::upgrade_required, error_body("unsupported WebSocket version"), &req);
      res.set(http::field::sec_websocket_version, "13");
      co_await write(stream, std::move(res));
      co_return;
    }
    if (!key || !ws::valid_client_key(*key)) {
      co_await write(stream, json_response(http::status::bad_request, error_body("invalid Sec-WebSocket-Key"), &req));
      co_return;
    }
    json::object query;
    for (auto param : target.params()) query[param.key] = param.has_value ? param.value : std::string();

    std::string response =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
        ws::accept_key(*key) + "\r\n\r\n";
    auto data = buffer.data();
    std::string_view leftover(static_cast<const char*>(data.data()), data.size());
    stream.expires_never();
    SessionLimits limits;
    limits.budget = outbound;
    auto session = std::make_shared<WsSession>(stream.release_socket(), std::move(response), leftover, limits, log,
                                               client_type + "/" + client_id);
    ws_sessions.push_back(session);
    auto it = std::prev(ws_sessions.end());
    try {
      co_await websocket_endpoint(server, session, std::move(client_type), std::move(client_id), std::move(query));
    } catch (const std::exception& e) {
      log->error("WebSocket connection ended with an error: {}", e.what());
    }
    co_await session->finish();
    ws_sessions.erase(it);
  }
};

Listener::Listener(Server& server, ListenerOptions options)
    : impl_(std::make_shared<Impl>(server, std::move(options))) {}

Listener::~Listener() {
  boost::system::error_code ec;
  impl_->acceptor.close(ec);
}

unsigned short Listener::listen() {
  auto& a = impl_->acceptor;
  tcp::endpoint endpoint(asio::ip::make_address(impl_->options.host), impl_->options.port);
  a.open(endpoint.protocol());
#ifdef _WIN32
  // Windows lets a socket that asks for address reuse take a port another one listens on; ask for
  // the port alone instead, so that a port in use is an error there too.
  a.set_option(asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true));
#else
  a.set_option(asio::socket_base::reuse_address(true));
#endif
  a.bind(endpoint);
  a.listen(asio::socket_base::max_listen_connections);
  return a.local_endpoint().port();
}

void Listener::start() {
  auto& impl = *impl_;
  const bool by_setting = corvane::truthy(impl.server.settings_manager.get("server.allow_other_users"));
  impl.own_user_only = !impl.options.allow_other_users && !by_setting;
  if (!impl.own_user_only)
    impl.log->warn("Any local user can connect: processes of other users are let in ({})",
                   impl.options.allow_other_users ? "--allow-other-users" : "settings key server.allow_other_users");
  asio::co_spawn(impl_->server.executor, impl_->accept_loop(), asio::detached);
}

std::size_t Listener::open_connections() const { return impl_->open; }

awaitable<void> Listener::shutdown(std::chrono::milliseconds limit) {
  auto impl = impl_;
  impl->stopping = true;
  boost::system::error_code ec;
  impl->acceptor.close(ec);
  for (auto& weak : impl->ws_sessions)
    if (auto session = weak.lock())
      asio::co_spawn(impl->server.executor, close_session(session, ws::kCloseGoingAway, "Server shutting down"),
                     asio::detached);
  for (auto* stream : impl->http_streams) stream->socket().close(ec);

  asio::steady_timer timer(impl->server.executor);
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (impl->open > 0 && std::chrono::steady_clock::now() < deadline) {
    timer.expires_after(std::chrono::milliseconds(10));
    co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
  }
  for (auto& weak : impl->ws_sessions)
    if (auto session = weak.lock()) session->abort();
}

}  // namespace switchyard::transport
