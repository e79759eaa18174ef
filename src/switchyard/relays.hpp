#pragma once
// Pushes that bring the editors up to date about the open workbooks.
#include "switchyard/server.hpp"

namespace switchyard {

// {"type": "workbook_list", "workbooks": [{"id", "name", "modules"}, ...]} to `websocket`, or to
// every editor when it is null. Failures are logged and swallowed.
awaitable<void> send_workbook_list_to_ide(Server& server, PeerPtr websocket = nullptr);

// The workbook's whole state, as four pushes in order: event manager, published functions,
// packages and paths, modules; to `websocket`, or to every editor when it is null.
awaitable<void> send_workbook_info_to_ide(Server& server, std::string workbook_id, PeerPtr websocket = nullptr);

// An "object_registry_update" that clears the workbook's objects, to `websocket` or every editor.
awaitable<void> _push_object_clear(Server& server, std::string workbook_id, PeerPtr websocket = nullptr);
// A line for the editors' consoles ("log_to_console"), to `websocket` or every editor.
awaitable<void> _push_message_to_ide_console(Server& server, std::string message, std::string color = {},
                                             PeerPtr websocket = nullptr);

// The logger name for an add-in log line: "addin.<script>" when `caller` names a script as
// ".../<script>.js:<line>:<column>", else "addin".
std::string addin_logger_name(std::string_view caller);

}  // namespace switchyard
