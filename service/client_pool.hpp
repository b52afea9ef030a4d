// The front of the engine client: a fixed pool of engine connections, the stack of the idle
// ones and a bounded queue of requests waiting for a connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
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

// Who may touch an engine connection: whoever takes it off the idle stack owns it, on any
// thread, until it puts it back; only the owner calls its `connect` or `send_request`. A
// connection puts itself back (`release`) only when no operation of its own is pending and it
// starts none, and afterwards it touches nothing of its own, only the pool and the request in
// hand; so the owner before and the owner after never use it at the same time. The idle stack,
// the queue and the list of requests to send again lock themselves, each only for one push or
// pop: no lock is held while a connection or a handler is called.
//
// Which request goes next: requests sent again (their answer was lost with a connection) before
// the queue, oldest first; the queue in order of arrival.
class ClientPool {
 public:
  ClientPool(boost::asio::io_context& ioc, Options const& options);
  ~ClientPool();
  ClientPool(const ClientPool&) = delete;
  ClientPool& operator=(const ClientPool&) = delete;

  // A new request: to an idle connection, or into the queue until one is free; a full queue
  // fails it with "full queue". Runs on the caller's thread.
  void enqueue_request(std::unique_ptr<ClientRequest>&& request);
  // A request already admitted whose attempt failed: it goes before every waiting one and is
  // never refused.
  void resend_request(std::unique_ptr<ClientRequest>&& request);

  // For the connections. The request a free connection carries next; none when nothing waits.
  std::unique_ptr<ClientRequest> next_request();
  // The connection is free: back on the idle stack, then waiting requests get connections.
  void release(ClientSession* session);
  // A connect succeeded: the engine can be reached again.
  void engine_reached();
  // A connect failed with `failure`. Requests that have waited too long while the engine could
  // not be reached fail with it, the others go to open idle connections if there are any; true
  // when some still wait (the connection then tries again after a pause).
  bool connect_failed(std::string const& failure);

  boost::asio::io_context& ioc;
  Options const& options;

 private:
  // Pairs waiting requests with idle connections, so that no request waits while a connection
  // is free.
  void dispatch();
  bool anything_waits();
  void send_via(ClientSession* session, std::unique_ptr<ClientRequest> request);
  void reconnect(ClientSession* session);
  void put_first(std::unique_ptr<ClientRequest> request);

  std::vector<std::shared_ptr<ClientSession>> sessions;
  PointerStack<ClientSession> idle;
  UniquePointerQueue<ClientRequest> queue;
  std::mutex resend_mutex;
  std::deque<std::unique_ptr<ClientRequest>> resend;  // guarded by resend_mutex
  // The first failed connect since the engine was last reached or nothing waited any more; none
  // while it can be reached.
  std::optional<std::chrono::steady_clock::time_point> unreachable_since;  // guarded by resend_mutex
};
