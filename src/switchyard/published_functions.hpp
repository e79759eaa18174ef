#pragma once
// STAND-IN until the published-functions work lands.
#include "switchyard/server.hpp"

namespace switchyard {
json::array get_functions_from_addin_message(Server& server, const json::object& message);
}  // namespace switchyard
