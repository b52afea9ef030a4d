#include "service/client_pool.hpp"

#include <algorithm>
#include <cstdint>

#include "ktu/log/log.hpp"
#include "service/client_session.hpp"
#include "service/options.hpp"

namespace {

// How long a request waits for a connection while the engine cannot be reached: long enough to
// ride out an engine restart, whose socket is away for up to about a second, short enough that
// clients of an engine that stays down learn it within seconds.
constexpr auto kConnectWait = std::chrono::seconds(3);

std::uintptr_t id_of(ClientSession* session) {
  return reinterpret_cast<std::uintptr_t>(session);
}

}  // namespace

ClientPool::ClientPool(boost::asio::io_context& ioc, Options const& options)
    : ioc(ioc), options(options), sessions(options.conn_pool), queue(options.max_queued) {
  idle.reserve(options.conn_pool);
  // The last one created is on top: the first request opens it.
  for (auto& session : sessions) {
    session = std::make_shared<ClientSession>(ioc, *this);
    idle.try_push_back(session.get());
  }
}

ClientPool::~ClientPool() = default;

void ClientPool::enqueue_request(std::unique_ptr<ClientRequest>&& request) {
  std::unique_ptr<ClientRequest> owned = std::move(request);
  owned->admitted_at = std::chrono::steady_clock::now();
  ClientSession* session = idle.try_pop_back();
  if (session == nullptr) {
    KTU_LOG(DEBUG, "ClientPool", "No client ready (will enqueue)");
    if (!queue.try_push_back(owned)) {
      owned->report_error("full queue");
      return;
    }
    // A connection may have gone idle between the look at the stack and the push.
    dispatch();
    return;
  }
  if (!session->is_open()) {
    // Queued before the connect starts, so that the connection finds it once connected; it
    // takes the oldest waiting request, which need not be this one.
    bool queued = queue.try_push_back(owned);
    reconnect(session);
    if (!queued) owned->report_error("full queue");
    return;
  }
  send_via(session, std::move(owned));
}

void ClientPool::resend_request(std::unique_ptr<ClientRequest>&& request) {
  put_first(std::move(request));
  dispatch();
}

std::unique_ptr<ClientRequest> ClientPool::next_request() {
  std::unique_ptr<ClientRequest> next;
  {
    std::lock_guard lock(resend_mutex);
    if (!resend.empty()) {
      next = std::move(resend.front());
      resend.pop_front();
      return next;
    }
  }
  queue.try_pull_front(next);
  return next;
}

void ClientPool::release(ClientSession* session) {
  idle.try_push_back(session);
  // A request may have been queued while this connection was busy.
  dispatch();
}

void ClientPool::engine_reached() {
  std::lock_guard lock(resend_mutex);
  unreachable_since.reset();
}

bool ClientPool::connect_failed(std::string const& failure) {
  const auto now = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point since;
  {
    std::lock_guard lock(resend_mutex);
    if (!unreachable_since) unreachable_since = now;
    since = *unreachable_since;
  }
  for (;;) {
    std::unique_ptr<ClientRequest> oldest = next_request();
    if (!oldest) {
      // Nobody waits for the engine any more: the outage, as far as requests are concerned, is
      // over. Left running, the clock would count this one against a scan that meets the next
      // outage hours later, while other connections stayed open.
      std::lock_guard lock(resend_mutex);
      unreachable_since.reset();
      return false;
    }
    // A request that waited for a busy connection before the engine went away has not waited
    // for the engine: only the time since then counts.
    if (now - std::max(oldest->admitted_at, since) >= kConnectWait) {
      oldest->report_error(failure);
      continue;
    }
    // A connection that is open and free serves it at once rather than after this one's connect.
    ClientSession* other = idle.try_pop_back();
    if (other != nullptr && other->is_open()) {
      send_via(other, std::move(oldest));
      continue;
    }
    if (other != nullptr) idle.try_push_back(other);
    put_first(std::move(oldest));
    return true;
  }
}

void ClientPool::dispatch() {
  while (anything_waits()) {
    ClientSession* session = idle.try_pop_back();
    if (session == nullptr) {
      // Every connection is busy; the next one to finish takes the oldest waiting request.
      return;
    }
    if (!session->is_open()) {
      reconnect(session);
      return;
    }
    std::unique_ptr<ClientRequest> request = next_request();
    if (!request) {
      // Someone else took it meanwhile: put the connection back and look again.
      idle.try_push_back(session);
      continue;
    }
    send_via(session, std::move(request));
  }
}

void ClientPool::send_via(ClientSession* session, std::unique_ptr<ClientRequest> request) {
  // Logged as the request sent, not as whichever request's completion got here.
  ktu::log::CorrelationScope scope(request->envelope.correlation_id());
  KTU_LOG(DEBUG, "ClientPool", "Send via idle client [{:x}]", id_of(session));
  session->send_request(std::move(request));
}

void ClientPool::reconnect(ClientSession* session) {
  // A connect serves whichever request waits longest, not the one at hand: its lines carry none.
  ktu::log::CorrelationScope scope("");
  KTU_LOG(DEBUG, "ClientPool", "Reconnecting scan client [{:x}]", id_of(session));
  session->connect(options.engine_socket);
}

bool ClientPool::anything_waits() {
  {
    std::lock_guard lock(resend_mutex);
    if (!resend.empty()) return true;
  }
  return !queue.empty();
}

void ClientPool::put_first(std::unique_ptr<ClientRequest> request) {
  std::lock_guard lock(resend_mutex);
  // Oldest first, also ahead of one put back here by a failed connect.
  auto at = std::find_if(resend.begin(), resend.end(),
                         [&](auto const& r) { return r->admitted_at > request->admitted_at; });
  resend.insert(at, std::move(request));
}
