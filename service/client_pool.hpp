// The front of the engine client: a fixed pool of engine connections, the stack of the idle
// ones and a bounded queue of requests waiting for a connection.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <boost/thread/concurrent_queues/sync_bounded_queue.hpp>

#include "service/client_request.hpp"

namespace boost::asio {
class io_context;
}

struct Options;
class ClientSession;

// Bounded first-in-first-out queue of owned objects; only ever tried, never waited on.
template <class T>
class UniquePointerQueue {
 public:
  // The Boost queue refuses a capacity of 0 (it asserts); a queue of capacity 0 takes nothing.
  explicit UniquePointerQueue(std::size_t capacity)
      : accepts(capacity > 0), queue(capacity > 0 ? capacity : 1) {}
  UniquePointerQueue(const UniquePointerQueue&) = delete;
  UniquePointerQueue& operator=(const UniquePointerQueue&) = delete;

  // Objects still waiting are released with the queue.
  ~UniquePointerQueue() {
    std::unique_ptr<T> rest;
    while (try_pull_front(rest)) rest.reset();
  }

  // Takes the object over unless the queue is full or closed; the pointer is null afterwards.
  bool try_push_back(std::unique_ptr<T>& object) {
    T* raw = object.get();
    if (!accepts || queue.try_push_back(raw) != boost::concurrent::queue_op_status::success) return false;
    object.release();
    return true;
  }

  // Moves the oldest object into `object`; false when the queue is empty.
  bool try_pull_front(std::unique_ptr<T>& object) {
    T* raw = nullptr;
    if (queue.try_pull_front(raw) != boost::concurrent::queue_op_status::success) return false;
    object.reset(raw);
    return true;
  }

  bool empty() const { return queue.empty(); }

 private:
  bool accepts;
  boost::concurrent::sync_bounded_queue<T*> queue;
};

// Last-in-first-out stack of non-owning pointers.
template <class T>
class PointerStack {
 public:
  void reserve(std::size_t n) {
    std::lock_guard lock(mutex);
    items.reserve(n);
  }

  void try_push_back(T* item) {
    std::lock_guard lock(mutex);
    items.push_back(item);
  }

  T* try_pop_back() {
    std::lock_guard lock(mutex);
    if (items.empty()) return nullptr;
    T* item = items.back();
    items.pop_back();
    return item;
  }

 private:
  std::vector<T*> items;
  std::mutex mutex;
};

class ClientPool {
 public:
  ClientPool(boost::asio::io_context& ioc, Options const& options);
  ~ClientPool();
  ClientPool(const ClientPool&) = delete;
  ClientPool& operator=(const ClientPool&) = delete;

  // Gives the request to an idle connection, or queues it until one is free; a full queue
  // fails it with "full queue". Runs on the caller's thread.
  void enqueue_request(std::unique_ptr<ClientRequest>&& request);

  // A connection has just become idle (or a request has just been queued): pair waiting
  // requests with idle connections, so that no request waits while a connection is free.
  void dispatch();

  boost::asio::io_context& ioc;
  Options const& options;
  std::vector<std::shared_ptr<ClientSession>> sessions;
  PointerStack<ClientSession> idle;
  UniquePointerQueue<ClientRequest> queue;
};
