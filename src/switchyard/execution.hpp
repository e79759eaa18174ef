#pragma once
// Function calls in flight between the add-ins and the kernels.
#include "switchyard/server.hpp"

namespace switchyard {

// Answers every function execution still pending for the workbook with an error result.
void fail_pending_executions(Server& server, const std::string& workbook_id, std::string_view message);
// A call whose frame never reached the kernel is answered "Kernel disconnected" if it is still
// pending (told by the connection manager of frames it could not deliver).
void undelivered_frame(Server& server, const Text& frame);

}  // namespace switchyard
