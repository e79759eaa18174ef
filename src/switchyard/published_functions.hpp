#pragma once
// Published functions: the parameters a workbook publishes (read by the parameter helper), and
// the published-function lists kept in step between the add-in, the editors and the server.
#include "switchyard/server.hpp"

#include <boost/json/array.hpp>

namespace switchyard {

struct SourceDefinitions;

// The server's parameter helper, created on first use with the kernels' interpreter.
ParameterHelper& get_parameter_helper(Server& server);

// The parameters of the function `function_name` defined in `code`: [{"name", "type": "any"}, ...].
// Never fails: problems give an empty list and at most one warning. `code_hash` (SHA-256 of
// `code`) may be empty; it is then computed.
awaitable<json::array> extract_function_parameters(Server& server, std::string code, std::string function_name,
                                                   std::string code_hash = {});

// The selection on what the helper found: the first non-async definition named
// `function_name` in walk order, its positional-or-keyword parameters without "self" and "cls".
// Logs the syntax error or the failure when the source could not be read.
json::array select_function_parameters(const SourceDefinitions& found, std::string_view function_name,
                                       const Logger& log);

// The add-in's published-function items as server-form entries (incomplete items dropped).
json::array get_functions_from_addin_message(Server& server, const json::object& message);

// An entry from an editor: an object with "module_name", "function_name" and "excel_name".
bool _validate_function_entry(const json::value& entry);
// Stores the editor's list, then registers it with the add-in and tells every editor.
awaitable<void> handle_update_published_functions(Server& server, std::string workbook_id, json::array functions);
// The functions, with their parameters, to the workbook's add-in ("sync_custom_functions");
// `functions` absent or empty: the stored list.
awaitable<void> _push_custom_functions_to_addin(Server& server, std::string workbook_id,
                                                const json::array* functions = nullptr);
// The list ("published_functions_state") to `websocket`, or to every editor; `functions`
// absent: the stored list.
awaitable<void> _push_published_functions_state(Server& server, std::string workbook_id,
                                                const json::array* functions = nullptr, PeerPtr websocket = nullptr);

}  // namespace switchyard
