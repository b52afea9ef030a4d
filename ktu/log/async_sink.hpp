// A sink that puts a thread of its own between the logging threads and a text sink: the
// logging thread formats and queues the text, the sink's thread writes it, so a slow file or
// descriptor does not hold up the thread that logs.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ktu/log/log.hpp"
#include "ktu/log/sinks.hpp"

namespace ktu::log {

namespace detail {

class StdThreadAsyncSink : public LogSink {
 public:
  explicit StdThreadAsyncSink(std::shared_ptr<FormattableLogSink>&& inner);
  // Formats on the calling thread (its time, thread id and correlation id) and queues the text.
  void log(EventData& data) override;
  // Queues a hangup of the wrapped sink, in order with the events around it.
  void hangup() override;
  // A barrier: returns once every task queued before it has run.
  void sync() override;
  // Writes everything queued before it, then ends the thread.
  ~StdThreadAsyncSink() override;

 private:
  void enqueue(std::function<bool()> task);
  void run();

  std::shared_ptr<FormattableLogSink> inner;
  std::mutex mutex;
  std::condition_variable condition;
  std::vector<std::function<bool()>> queue;  // a task returns true only to end the worker
  std::thread worker;
};

}  // namespace detail

std::shared_ptr<LogSink> create_std_thread_async_sink(std::shared_ptr<FormattableLogSink> inner);

}  // namespace ktu::log
