#pragma once
// Coalesces the function results bound for one workbook's add-in: everything that arrives
// within COALESCE_DELAY of the first result goes out as one message.
#include "switchyard/common.hpp"

namespace switchyard {

class ConnectionManager;
class TaskGroup;

class ResultBatcher {
 public:
  // Sends through `manager`; the delayed flushes run in `tasks`.
  ResultBatcher(ConnectionManager& manager, TaskGroup& tasks);

  // Seconds; an instance may override it.
  double COALESCE_DELAY = 0.005;

  // Queues a result for the workbook's add-in; it never waits.
  void queue_result(std::string_view workbook_id, json::object message);
  // The same for a result message already written as JSON text.
  void queue_result_text(std::string_view workbook_id, std::string text);
  awaitable<void> _flush_after_delay(std::string workbook_id);
  awaitable<void> _flush_workbook(std::string workbook_id);
  awaitable<void> flush_all();

  // Results waiting, per workbook, in arrival order, each kept as its JSON text (what is sent).
  StringMap<std::vector<std::string>> _pending;
  // Workbooks that have a delayed flush scheduled.
  StringMap<bool> _flush_tasks;

 private:
  ConnectionManager& _manager;
  TaskGroup& tasks_;
  // Room reserved for a new batch: the size of the last one sent.
  std::size_t next_batch_capacity_ = 1;
};

}  // namespace switchyard
