#pragma once
// A workbook's event handlers: its object trees and event definitions, the handler bindings,
// their merge into the editors' view, registration through the add-in, and the configuration
// pushed to the add-in and the kernel; plus the conversions of the bindings between the
// server's registry and the forms the add-in and the kernel keep.
#include "switchyard/server.hpp"

namespace switchyard {

// Store a workbook's object tree / event definitions as a peer sent them (`win32`: the kernel's
// COM level). Null counts as absent; a value or a part of it with the wrong JSON type is treated
// as absent, with a warning. Absent means an empty object.
void store_workbook_tree(Server& server, const std::string& workbook_id, json::value tree, bool win32 = false);
void store_event_definitions(Server& server, const std::string& workbook_id, json::value definitions,
                             bool win32 = false);
// Store, then push the state to every editor in the background.
void handle_workbook_structure_update(Server& server, const std::string& workbook_id, json::value tree);
void handle_event_definitions_update(Server& server, const std::string& workbook_id, json::value definitions);

// Ask the add-in, and on its confirmation change the registry and push; the add-in's "success".
awaitable<bool> handle_register_handler(Server& server, std::string workbook_id, std::string object_type,
                                        std::string object_id, std::string event_name, std::string module_name,
                                        std::string function_name, bool is_com);
awaitable<bool> handle_unregister_handler(Server& server, std::string workbook_id, std::string object_id,
                                          std::string event_name, bool is_com);

json::array _merge_tree_with_events(const json::object& tree, const json::object& definitions,
                                    const HandlerRegistry* registry, bool is_com);
// The merged view ("event_manager_state") to `websocket`, or to every editor.
awaitable<void> _push_event_manager_state(Server& server, std::string workbook_id, PeerPtr websocket = nullptr);
// The bindings to the add-in; `config` absent or empty: the stored ones.
awaitable<void> _push_events_config_to_addin(Server& server, std::string workbook_id,
                                             const HandlerRegistry* config = nullptr, bool save = true,
                                             PeerPtr websocket = nullptr);
// The COM-level bindings to the kernel; `registry` absent or empty: the stored ones.
awaitable<void> _push_com_events_config_to_kernel(Server& server, std::string workbook_id,
                                                  const HandlerRegistry* registry = nullptr,
                                                  PeerPtr websocket = nullptr);

// The add-in's form (object id -> {"ObjectType", "events": event name -> entry}) to a registry;
// each entry gains "object_type". Objects without a text "ObjectType" or whose "events" is not
// an object, and entries that are not objects, are skipped with a warning.
HandlerRegistry _events_from_addin_to_ide(Server& server, const json::value& config);

// A registry to the add-in's form; the first entry of an object id decides its "ObjectType".
json::object _events_from_ide_to_addin(const HandlerRegistry& registry);

// A registry to the kernel's form: repr((object id, event name)) -> entry.
json::object _events_to_com_config(const HandlerRegistry& registry);

}  // namespace switchyard
