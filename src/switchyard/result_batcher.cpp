// Result batching: results for one add-in that arrive within COALESCE_DELAY of the first one
// leave as one message.
#include "switchyard/result_batcher.hpp"

#include "switchyard/connection_manager.hpp"
#include "switchyard/task_group.hpp"

#include "services/clock.hpp"

#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace switchyard {

ResultBatcher::ResultBatcher(ConnectionManager& manager, TaskGroup& tasks) : _manager(manager), tasks_(tasks) {}

void ResultBatcher::queue_result(std::string_view workbook_id, json::object message) {
  std::string text;
  append_json(text, message);
  queue_result_text(workbook_id, std::move(text));
}

void ResultBatcher::queue_result_text(std::string_view workbook_id, std::string text) {
  // The tables are only touched between waits, so this is the whole critical section.
  auto it = _pending.find(workbook_id);
  if (it == _pending.end()) {
    it = _pending.emplace(std::string(workbook_id), std::vector<std::string>()).first;
    it->second.reserve(next_batch_capacity_);
  }
  it->second.push_back(std::move(text));
  if (!_flush_tasks.contains(workbook_id)) {
    _flush_tasks.emplace(std::string(workbook_id), true);
    tasks_.spawn(_flush_after_delay(std::string(workbook_id)));
  }
}

awaitable<void> ResultBatcher::_flush_after_delay(std::string workbook_id) {
  corvane::Timer timer(co_await asio::this_coro::executor);
  timer.expires_after(std::chrono::duration_cast<corvane::Clock::duration>(
      std::chrono::duration<double>(COALESCE_DELAY)));
  co_await timer.async_wait(asio::use_awaitable);
  co_await _flush_workbook(std::move(workbook_id));
}

awaitable<void> ResultBatcher::_flush_workbook(std::string workbook_id) {
  std::vector<std::string> results;
  if (auto it = _pending.find(workbook_id); it != _pending.end()) {
    results = std::move(it->second);
    _pending.erase(it);
  }
  _flush_tasks.erase(workbook_id);
  // New results queued from here on start a new batch with its own delayed flush.
  if (results.empty()) co_return;
  next_batch_capacity_ = std::min<std::size_t>(results.size(), 1024);
  if (results.size() == 1) {
    co_await _manager.send_text("addin", workbook_id, std::make_shared<const std::string>(std::move(results.front())));
    co_return;
  }
  // {"type": "batch_results", "results": [...]}
  static constexpr std::string_view head = R"({"type":"batch_results","results":[)";
  std::size_t size = head.size() + 2;
  for (const auto& r : results) size += r.size() + 1;
  auto text = std::make_shared<std::string>();
  text->reserve(size);
  *text += head;
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (i) *text += ',';
    *text += results[i];
  }
  *text += "]}";
  results.clear();
  co_await _manager.send_text("addin", workbook_id, std::move(text));
}

awaitable<void> ResultBatcher::flush_all() {
  std::vector<std::string> ids;
  for (const auto& [id, _] : _pending) ids.push_back(id);
  for (auto& id : ids) co_await _flush_workbook(id);
}

}  // namespace switchyard
