#pragma once
// A workbook's kernel process: started with the workbook's connection arguments, stopped, and
// killed and restarted on request.
#include "switchyard/server.hpp"

namespace switchyard {

// Starts the kernel program for the workbook; null when the id is invalid or the process cannot
// be started.
std::shared_ptr<corvane::process::Child> spawn_kernel(Server& server, const std::string& workbook_id);
// Asks the workbook's kernel process to stop (SIGTERM) and forgets it.
void terminate_kernel(Server& server, const std::string& workbook_id);
// Kills the kernel and what it started, forgets its connection, and starts a new one; false when
// the workbook had no kernel or the new one could not be started.
bool kill_and_restart_kernel(Server& server, const std::string& workbook_id);

}  // namespace switchyard
