#include "service/client_pool.hpp"

#include <chrono>
#include <cstdint>

#include "ktu/log/log.hpp"
#include "service/client_session.hpp"
#include "service/options.hpp"

namespace {

std::uintptr_t id_of(ClientSession* session) {
  return reinterpret_cast<std::uintptr_t>(session);
}

void refuse(std::unique_ptr<ClientRequest>& request) {
  if (request->on_error) request->on_error("full queue");
  request.reset();
}

}  // namespace

ClientPool::ClientPool(boost::asio::io_context& ioc, Options const& options)
    : ioc(ioc), options(options), sessions(options.conn_pool), queue(options.max_queued) {
  idle.reserve(options.conn_pool);
  for (auto& session : sessions) {
    session = std::make_shared<ClientSession>(ioc, *this);
  }
}

ClientPool::~ClientPool() = default;

void ClientPool::enqueue_request(std::unique_ptr<ClientRequest>&& request) {
  std::unique_ptr<ClientRequest> owned = std::move(request);
  owned->queued_at = std::chrono::steady_clock::now();
  ClientSession* session = idle.try_pop_back();
  if (session == nullptr) {
    KTU_LOG(DEBUG, "ClientPool", "No client ready (will enqueue)");
    if (!queue.try_push_back(owned)) {
      refuse(owned);
      return;
    }
    // A connection may have gone idle between the look at the stack and the push.
    dispatch();
    return;
  }
  if (!session->is_open()) {
    KTU_LOG(DEBUG, "ClientPool", "Reconnecting scan client [{:x}]", id_of(session));
    // Queued before the connect starts, so that the connection finds it once connected; it
    // takes the oldest waiting request, which need not be this one.
    bool queued = queue.try_push_back(owned);
    session->connect(options.engine_socket);
    if (!queued) refuse(owned);
    return;
  }
  KTU_LOG(DEBUG, "ClientPool", "Send via idle client [{:x}]", id_of(session));
  session->send_request(std::move(owned));
}

void ClientPool::dispatch() {
  while (!queue.empty()) {
    ClientSession* session = idle.try_pop_back();
    if (session == nullptr) {
      // Every connection is busy; the next one to finish takes the oldest waiting request.
      return;
    }
    if (!session->is_open()) {
      KTU_LOG(DEBUG, "ClientPool", "Reconnecting scan client [{:x}]", id_of(session));
      session->connect(options.engine_socket);
      return;
    }
    std::unique_ptr<ClientRequest> request;
    if (!queue.try_pull_front(request)) {
      // Someone else took it meanwhile: put the connection back and look again.
      idle.try_push_back(session);
      continue;
    }
    KTU_LOG(DEBUG, "ClientPool", "Send via idle client [{:x}]", id_of(session));
    session->send_request(std::move(request));
  }
}
