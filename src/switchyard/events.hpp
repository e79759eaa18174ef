#pragma once
// Conversions of a workbook's event handler bindings between the server's registry and the
// forms the add-in and the kernel keep.
#include "switchyard/server.hpp"

namespace switchyard {

// The add-in's form (object id -> {"ObjectType", "events": event name -> entry}) to a registry;
// each entry gains "object_type". Objects without a text "ObjectType" or whose "events" is not
// an object, and entries that are not objects, are skipped with a warning.
HandlerRegistry _events_from_addin_to_ide(Server& server, const json::value& config);

// A registry to the add-in's form; the first entry of an object id decides its "ObjectType".
json::object _events_from_ide_to_addin(const HandlerRegistry& registry);

// A registry to the kernel's form: repr((object id, event name)) -> entry.
json::object _events_to_com_config(const HandlerRegistry& registry);

}  // namespace switchyard
