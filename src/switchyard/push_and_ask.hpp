#pragma once
// The two ways the server talks to a peer on its own initiative: pushing a state (to the editors,
// or to a workbook's add-in or kernel) and asking the workbook's add-in a question. What happens
// when the peer is missing, too slow or the asking task is cancelled is decided here, once.
#include "switchyard/server.hpp"

#include <optional>

namespace switchyard {

// Where a push goes when it is not addressed to one connection: every connection of
// `client_type` (no `client_id`), or the one registered as (client_type, client_id).
struct PushDestination {
  std::string_view client_type = "ide";
  std::string_view client_id = {};
};

// How a push names itself in the log: "Pushed {what} to {to_one}{tail}" after a send to the one
// connection given, "Pushed {what} to {to_all}{tail}" after a send to the destination (neither
// when `what` is empty), and "{failure}: {error}" when a send fails.
struct PushNames {
  std::string_view what;
  std::string tail;
  std::string_view failure;
  std::string_view to_one = "IDE websocket";
  std::string_view to_all = "IDE";
};

// Sends `message` to `websocket` when it is set, else to `destination`. A failed send is logged
// and ends nothing; cancellation of the pushing task ends it.
awaitable<void> push(Server& server, const json::object& message, const PeerPtr& websocket, const PushNames& names,
                     PushDestination destination = {});

// Sends `request` to the workbook's add-in and waits at most `timeout` seconds for its answer.
// No add-in, or no answer in time: a warning "{failure}: {reason}" and nullopt.
awaitable<std::optional<json::object>> ask_addin(Server& server, std::string workbook_id, json::object request,
                                                 double timeout, std::string failure);

}  // namespace switchyard
