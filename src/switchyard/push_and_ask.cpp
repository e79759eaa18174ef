// Pushing a state to a peer and asking the add-in, with their failures handled in one place.
#include "switchyard/push_and_ask.hpp"

namespace switchyard {

namespace {

bool is_cancellation(const boost::system::system_error& e) { return e.code() == asio::error::operation_aborted; }

}  // namespace

awaitable<void> push(Server& server, const json::object& message, const PeerPtr& websocket, const PushNames& names,
                     PushDestination destination) {
  const auto& log = server.logger;
  try {
    if (websocket) {
      co_await websocket->send_text(std::make_shared<const std::string>(to_json(message)));
      if (!names.what.empty()) log->debug("Pushed {} to {}{}", names.what, names.to_one, names.tail);
    } else {
      if (destination.client_id.empty())
        co_await server.manager.broadcast(destination.client_type, message);
      else
        co_await server.manager.send_message(destination.client_type, destination.client_id, message);
      if (!names.what.empty()) log->debug("Pushed {} to {}{}", names.what, names.to_all, names.tail);
    }
  } catch (const boost::system::system_error& e) {
    if (is_cancellation(e)) throw;
    log->error("{}: {}", names.failure, e.what());
  } catch (const std::exception& e) {
    log->error("{}: {}", names.failure, e.what());
  }
}

awaitable<std::optional<json::object>> ask_addin(Server& server, std::string workbook_id, json::object request,
                                                 double timeout, std::string failure) {
  try {
    co_return co_await server.manager.send_and_wait_response("addin", std::move(workbook_id), std::move(request),
                                                             timeout);
  } catch (const NotConnectedError& e) {
    server.logger->warn("{}: {}", failure, e.what());
  } catch (const RequestTimeoutError& e) {
    server.logger->warn("{}: {}", failure, e.what());
  }
  co_return std::nullopt;
}

}  // namespace switchyard
