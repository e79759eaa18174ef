#pragma once
// What happens right after a peer has connected: the add-in's workbook state is pulled into the
// caches and its kernel started, a new editor is brought up to date, a new kernel gets the
// workbook's code, paths and packages.
#include "switchyard/server.hpp"

namespace switchyard {

awaitable<void> on_addin_connection(Server& server, PeerPtr websocket, std::string client_type, std::string client_id);
awaitable<void> on_ide_connection(Server& server, PeerPtr websocket, std::string client_type, std::string client_id);
awaitable<void> on_kernel_connection(Server& server, PeerPtr websocket, std::string client_type, std::string client_id);

// The hook of a client type, or null (the inspector has none).
using ConnectionHook = awaitable<void> (*)(Server&, PeerPtr, std::string, std::string);
ConnectionHook connection_hook(std::string_view client_type);

}  // namespace switchyard
