#pragma once
// A workbook's kernel process: started with the workbook's connection arguments, stopped, and
// killed and restarted on request. A kernel that exits without being asked to while its add-in
// is connected is started again, after 0.5, 1, 2, 4 and 8 s for successive crashes; after five
// restarts within 60 s the server gives up until the add-in connects again or a kill restarts it.
#include "switchyard/server.hpp"

namespace switchyard {

// Starts the kernel program for the workbook; null when the id is invalid or the process cannot
// be started.
std::shared_ptr<corvane::process::Child> spawn_kernel(Server& server, const std::string& workbook_id);
// Asks the workbook's kernel process to stop (SIGTERM) and forgets it.
void terminate_kernel(Server& server, const std::string& workbook_id);
// Kills the kernel and what it started, forgets its connection, and starts a new one; false when
// the workbook had no kernel or the new one could not be started. The waits are timers: other
// workbooks are served meanwhile; kills and restarts of one workbook take turns.
awaitable<bool> kill_and_restart_kernel(Server& server, std::string workbook_id);

// A kernel process of the workbook is running (started, whether or not it has connected yet).
bool kernel_running(const Workbook* wb);
// Forgets the kernel's crashes: restarts after crashes count from none again.
void start_kernel_supervision_afresh(Workbook& wb);

}  // namespace switchyard
