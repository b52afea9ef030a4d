#include "ktu/log/async_sink.hpp"

#include <exception>
#include <stdexcept>
#include <string>

namespace ktu::log {
namespace detail {

StdThreadAsyncSink::StdThreadAsyncSink(std::shared_ptr<FormattableLogSink>&& wrapped)
    : inner(std::move(wrapped)) {
  if (!inner) throw std::logic_error("log async sink: no sink to wrap");
  worker = std::thread([this] { run(); });
}

StdThreadAsyncSink::~StdThreadAsyncSink() {
  enqueue([] { return true; });
  worker.join();
}

void StdThreadAsyncSink::enqueue(std::function<bool()> task) {
  std::lock_guard<std::mutex> held(mutex);
  queue.push_back(std::move(task));
  condition.notify_one();
}

void StdThreadAsyncSink::log(EventData& data) {
  std::string text = data.get_formatted(inner->get_formatter());
  enqueue([this, text = std::move(text)] {
    inner->log_formatted(text);
    return false;
  });
}

void StdThreadAsyncSink::hangup() {
  enqueue([this] {
    inner->hangup();
    return false;
  });
}

void StdThreadAsyncSink::sync() {
  std::condition_variable done_condition;
  bool done = false;
  std::unique_lock<std::mutex> held(mutex);
  queue.push_back([this, &done, &done_condition] {
    std::lock_guard<std::mutex> relock(mutex);
    done = true;
    done_condition.notify_one();
    return false;
  });
  condition.notify_one();
  done_condition.wait(held, [&done] { return done; });
}

void StdThreadAsyncSink::run() {
  std::vector<std::function<bool()>> batch;
  std::unique_lock<std::mutex> held(mutex);
  for (;;) {
    batch.swap(queue);
    if (batch.empty()) {
      condition.wait(held);
      continue;
    }
    held.unlock();
    for (auto& task : batch) {
      bool stop = false;
      try {
        stop = task();
      } catch (...) {
        // A failed write has no caller to report to on this thread; the event is lost for
        // this sink, as it would be for a synchronous one, and the next task still runs.
      }
      if (stop) return;
    }
    held.lock();
    batch.clear();
  }
}

}  // namespace detail

std::shared_ptr<LogSink> create_std_thread_async_sink(std::shared_ptr<FormattableLogSink> inner) {
  return std::make_shared<detail::StdThreadAsyncSink>(std::move(inner));
}

}  // namespace ktu::log
