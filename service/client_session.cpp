#include "service/client_session.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "ktu/log/log.hpp"
#include "ktu/util/fd_passing.hpp"
#include "msg.pb.h"
#include "proto/msg_wire.hpp"
#include "service/client_pool.hpp"
#include "service/client_request.hpp"
#include "service/options.hpp"

namespace asio = boost::asio;
namespace beast = boost::beast;

namespace {

constexpr auto kConnectTimeout = std::chrono::seconds(30);
constexpr auto kWriteTimeout = std::chrono::seconds(30);
constexpr auto kReadTimeout = std::chrono::seconds(600);
constexpr std::size_t kReadChunk = 4096;
constexpr int kSendBuffer = 131072;
// A frame that declares more than this is refused: buffering it could exhaust memory.
constexpr std::size_t kMaxFrame = std::size_t{64} << 20;
// All the frames of one request's reply together may hold no more than its largest frame: the
// reply handler keeps what they carry until the final response, and a real scan's findings fit
// one frame many times over.
constexpr std::size_t kMaxReply = kMaxFrame + ktu::msg_wire::kHeaderSize;
// Attempts of one request in all before a time-out or a broken pipe ends it.
constexpr int kMaxAttempts = 3;
// How long a request waits for a connection while the engine cannot be reached: long enough to
// ride out an engine restart, whose socket is away for up to about a second, short enough that
// clients of an engine that stays down learn it within seconds.
constexpr auto kConnectWait = std::chrono::seconds(3);
// Pauses between connect attempts while requests wait: short at first, so that a quick restart
// costs little, then growing, so that an engine that stays down is not asked in a tight loop.
constexpr auto kFirstConnectPause = std::chrono::milliseconds(10);
constexpr auto kMaxConnectPause = std::chrono::milliseconds(200);

// A reset says the engine closed its end with bytes of ours still unread: like a broken pipe,
// the request never reached it (an engine that answered and then restarted, say).
bool is_retryable(beast::error_code ec) {
  return ec == beast::error::timeout || ec == asio::error::broken_pipe || ec == asio::error::connection_reset;
}

// The request ends here whatever its error handler does: an exception from it must not keep
// the connection from going back to the pool.
void report_error(ClientRequest& request, std::string_view text) noexcept {
  if (!request.on_error) return;
  try {
    request.on_error(text);
  } catch (const std::exception& e) {
    KTU_LOG(ERROR, "ClientSession", "error handler: {}", e.what());
  } catch (...) {
    KTU_LOG(ERROR, "ClientSession", "error handler: unknown exception");
  }
}

}  // namespace

ClientSession::ClientSession(asio::io_context& ioc, ClientPool& pool)
    : stream(asio::make_strand(ioc)),
      pool(pool),
      retry_timer(stream.get_executor()),
      connect_pause(kFirstConnectPause) {
  pool.idle.try_push_back(this);
}

ClientSession::~ClientSession() = default;

bool ClientSession::is_open() const {
  return stream.socket().is_open();
}

void ClientSession::connect(char const* path) {
  KTU_LOG(DEBUG, "ClientSession", "[{:x}] Connecting to {}", id(), path);
  stream.expires_after(kConnectTimeout);
  asio::local::stream_protocol::endpoint endpoint;
  try {
    endpoint = asio::local::stream_protocol::endpoint(path);
  } catch (const boost::system::system_error& e) {
    // A path that does not fit the socket address fails like any other connect.
    asio::post(stream.get_executor(),
               [self = shared_from_this(), ec = e.code()] { self->on_connect(ec); });
    return;
  }
  stream.async_connect(endpoint, [self = shared_from_this()](beast::error_code ec) { self->on_connect(ec); });
}

void ClientSession::on_connect(beast::error_code ec) {
  if (!ec) {
    // A non-blocking connect to a unix socket whose listen backlog is full returns EAGAIN and
    // leaves the socket unconnected, yet completes without an error: only a peer proves it.
    beast::error_code unconnected;
    stream.socket().remote_endpoint(unconnected);
    if (unconnected) ec = asio::error::try_again;
  }
  if (!ec) {
    stream.socket().set_option(asio::socket_base::send_buffer_size(kSendBuffer), ec);
  }
  if (ec) {
    KTU_LOG(ERROR, "ClientSession", "{}: {}", "connect", ec.message());
    shutdown_socket();
    retry_connect_later(ec);
    return;
  }
  KTU_LOG(DEBUG, "ClientSession", "[{:x}] Connected", id());
  fresh_socket = true;
  connect_pause = kFirstConnectPause;
  if (waiting) {
    std::unique_ptr<ClientRequest> oldest = std::move(waiting);
    send_request(std::move(oldest));
    return;
  }
  handle_another_request();
}

void ClientSession::retry_connect_later(beast::error_code ec) {
  const std::string failure = "engine connect: " + ec.message();
  const auto now = std::chrono::steady_clock::now();
  for (;;) {
    if (!waiting && !pool.queue.try_pull_front(waiting)) break;
    if (now - waiting->queued_at >= kConnectWait) {
      report_error(*waiting, failure);
      waiting.reset();
      continue;
    }
    // A connection that is open and free serves it at once rather than after this one's connect.
    ClientSession* other = pool.idle.try_pop_back();
    if (other == nullptr) break;
    if (!other->is_open()) {
      pool.idle.try_push_back(other);
      break;
    }
    std::unique_ptr<ClientRequest> oldest = std::move(waiting);
    other->send_request(std::move(oldest));
  }
  if (!waiting) {
    // Nobody waits: the next request connects afresh.
    connect_pause = kFirstConnectPause;
    become_idle();
    return;
  }
  KTU_LOG(DEBUG, "ClientSession", "[{:x}] Connecting again in {} ms", id(),
          std::chrono::duration_cast<std::chrono::milliseconds>(connect_pause).count());
  retry_timer.expires_after(connect_pause);
  connect_pause = std::min<std::chrono::steady_clock::duration>(connect_pause * 2, kMaxConnectPause);
  retry_timer.async_wait([self = shared_from_this()](beast::error_code) { self->on_retry_pause(); });
}

void ClientSession::on_retry_pause() {
  // Nothing cancels the pause: however it ended, the waiting request needs a connection.
  connect(pool.options.engine_socket);
}

void ClientSession::handle_another_request() {
  std::unique_ptr<ClientRequest> next;
  if (pool.queue.try_pull_front(next)) {
    send_request(std::move(next));
  } else {
    become_idle();
  }
}

void ClientSession::become_idle() {
  // It may sit on the stack long enough for the engine to go away meanwhile.
  fresh_socket = false;
  pool.idle.try_push_back(this);
  // A request may have been queued while this connection was busy.
  pool.dispatch();
}

void ClientSession::send_request(std::unique_ptr<ClientRequest>&& request) {
  ktu::log::CorrelationScope scope(request->envelope.correlation_id());
  // A fresh socket is left to the write: an engine that drops every connection at once must
  // use up the request's attempts, not reconnect for ever.
  if (!fresh_socket && out_of_step()) {
    // The request has not been written: it goes on another connection, this one connects afresh.
    close();
    pool.enqueue_request(std::move(request));
    return;
  }
  fresh_socket = false;
  buffer.clear();
  std::size_t n = ktu::msg_wire::msg_wire_size(request->envelope);
  auto space = buffer.prepare(n);
  if (ktu::msg_wire::msg_wire_write(request->envelope, space.data()) == 0) {
    KTU_LOG(ERROR, "ClientSession", "serialization failed");
    report_error(*request, "internal write: serialization failed");
    buffer.clear();
    request.reset();
    become_idle();
    return;
  }
  buffer.commit(n);
  // A frame nearly always fits the socket's send buffer: write it at once and go on without a
  // completion of its own (one thread hand-over less per request). Whatever does not fit goes
  // through the asynchronous write with its time limit.
  ssize_t sent = ::send(stream.socket().native_handle(), buffer.data().data(), n, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent == static_cast<ssize_t>(n)) {
    on_write(std::move(request), {}, n);
    return;
  }
  if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    on_write(std::move(request), beast::error_code(errno, boost::system::system_category()), 0);
    return;
  }
  const std::size_t already = sent > 0 ? static_cast<std::size_t>(sent) : 0;
  buffer.consume(already);
  stream.expires_after(kWriteTimeout);
  asio::async_write(stream, buffer.data(),
                    [self = shared_from_this(), req = std::move(request), already](beast::error_code ec,
                                                                                   std::size_t bytes) mutable {
                      self->on_write(std::move(req), ec, already + bytes);
                    });
}

void ClientSession::on_write(std::unique_ptr<ClientRequest> request, beast::error_code ec, std::size_t bytes) {
  ktu::log::CorrelationScope scope(request->envelope.correlation_id());
  KTU_LOG(DEBUG, "ClientSession", "[{:x}] Sent {} bytes", id(), bytes);
  if (ec) {
    fail(ec, "write");
    std::string failure = "engine write: " + ec.message();
    if (is_retryable(ec)) {
      give_back(std::move(request), failure);
    } else {
      report_error(*request, failure);
    }
    return;
  }
  if (request->envelope.has_fd_count()) {
    KTU_LOG(DEBUG, "ClientSession", "[{:x}] Send FD {}", id(), request->fd);
    if (!ktu::util::write_fd_to_unix_pipe(stream.socket().native_handle(), request->fd)) {
      // The engine closed between the frame and the descriptor: it never took the request.
      const bool dropped = errno == EPIPE || errno == ECONNRESET;
      close();
      if (dropped) {
        give_back(std::move(request), "engine write: sendmsg failed");
      } else {
        report_error(*request, "engine write: sendmsg failed");
      }
      return;
    }
  }
  KTU_LOG(DEBUG, "ClientSession", "[{:x}] Read response", id());
  reply_bytes = 0;
  buffer.clear();
  read_more(std::move(request));
}

void ClientSession::read_more(std::unique_ptr<ClientRequest> request) {
  beast::flat_buffer::mutable_buffers_type space;
  try {
    space = buffer.prepare(kReadChunk);
  } catch (const std::exception& e) {
    // A long frame grows the buffer, which can fail like any allocation.
    end_after_exception(std::move(request), e.what());
    return;
  }
  stream.expires_after(kReadTimeout);
  stream.async_read_some(space, [self = shared_from_this(), req = std::move(request)](beast::error_code ec,
                                                                                     std::size_t n) mutable {
    self->on_read(std::move(req), ec, n);
  });
}

void ClientSession::on_read(std::unique_ptr<ClientRequest> request, beast::error_code ec, std::size_t n) {
  ktu::log::CorrelationScope scope(request->envelope.correlation_id());
  if (ec) {
    fail(ec, "read");
    std::string failure = "engine read: " + ec.message();
    if (is_retryable(ec)) {
      give_back(std::move(request), failure);
    } else {
      report_error(*request, failure);
    }
    return;
  }
  stream.expires_never();
  KTU_LOG(DEBUG, "ClientSession", "[{:x}] Received {} bytes", id(), n);
  buffer.commit(n);
  process_read(std::move(request));
}

void ClientSession::process_read(std::unique_ptr<ClientRequest> request) {
  for (;;) {
    KtMsgBase envelope;
    auto data = buffer.data();
    auto [status, size] = ktu::msg_wire::msg_wire_read(envelope, data.data(), data.size());
    if (status == ktu::msg_wire::ReadStatus::INCOMPLETE) {
      if (size > kMaxFrame + ktu::msg_wire::kHeaderSize) {
        // Nothing after this header can be trusted to start a frame: end the connection.
        KTU_LOG(DEBUG, "ClientSession", "[{:x}] Frame of {} bytes refused", id(), size);
        KTU_LOG(ERROR, "ClientSession", "malformed message");
        report_error(*request, "engine read: malformed message");
        request.reset();
        close();
        return;
      }
      if (reply_bytes + size > kMaxReply) {
        refuse_reply(std::move(request));
        return;
      }
      read_more(std::move(request));
      return;
    }
    reply_bytes += size;
    if (reply_bytes > kMaxReply) {
      refuse_reply(std::move(request));
      return;
    }
    KTU_LOG(DEBUG, "ClientSession", "[{:x}] Processed {} bytes", id(), size);
    buffer.consume(size);
    if (status != ktu::msg_wire::ReadStatus::OK) {
      KTU_LOG(ERROR, "ClientSession", "malformed message");
      report_error(*request, "engine read: malformed message");
      request.reset();
      buffer.clear();
      // Once framing is lost, whatever follows on this connection belongs to no request.
      close();
      return;
    }
    const bool final_frame = envelope.type() == KT_RESPONSE;
    bool finished;
    try {
      finished = !request->on_message || request->on_message(std::move(envelope));
    } catch (const std::exception& e) {
      end_after_exception(std::move(request), e.what());
      return;
    } catch (...) {
      end_after_exception(std::move(request), "unknown exception");
      return;
    }
    if (finished) {
      request.reset();
      if (!final_frame) {
        // Ended before the engine's final response (a reply over its bounds): the rest of that
        // reply would follow on this connection and be taken for the next request's.
        buffer.clear();
        close();
        return;
      }
      if (buffer.size() != 0) {
        // More than the request asked for: the engine is out of step with this connection.
        KTU_LOG(ERROR, "ClientSession", "unexpected data from the engine");
        buffer.clear();
        close();
        return;
      }
      handle_another_request();
      return;
    }
    // More frames of this request may already be in the buffer.
  }
}

void ClientSession::refuse_reply(std::unique_ptr<ClientRequest> request) {
  KTU_LOG(ERROR, "ClientSession", "reply too large");
  report_error(*request, "engine read: reply too large");
  request.reset();
  // The rest of the reply would put the connection out of step.
  close();
}

void ClientSession::give_back(std::unique_ptr<ClientRequest> request, std::string const& failure) {
  if (++request->failed_attempts >= kMaxAttempts) {
    report_error(*request, failure);
    return;
  }
  resend(std::move(request));
}

void ClientSession::end_after_exception(std::unique_ptr<ClientRequest> request, char const* what) {
  KTU_LOG(ERROR, "ClientSession", "{}: {}", "reply", what);
  // The rest of the reply may still come: the connection is out of step with the engine.
  buffer.clear();
  close();
  report_error(*request, std::string("internal read: ") + what);
}

bool ClientSession::out_of_step() {
  char byte;
  ssize_t n;
  do {
    n = ::recv(stream.socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    KTU_LOG(ERROR, "ClientSession", "unexpected data from the engine");
    return true;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
  // The end of the stream or a pending error: the engine has gone away meanwhile (a restart).
  KTU_LOG(DEBUG, "ClientSession", "[{:x}] Closed by the engine", id());
  return true;
}

void ClientSession::resend(std::unique_ptr<ClientRequest> request) {
  if (request->on_retry) request->on_retry();
  pool.enqueue_request(std::move(request));
}

void ClientSession::shutdown_socket() {
  KTU_LOG(DEBUG, "ClientSession", "[{:x}] Shutdown", id());
  beast::error_code ec;
  stream.socket().shutdown(asio::socket_base::shutdown_both, ec);
  if (ec && ec != beast::errc::not_connected) {
    KTU_LOG(ERROR, "ClientSession", "shutdown: {}", ec.message());
  }
  stream.close();
}

void ClientSession::close() {
  shutdown_socket();
  become_idle();
}

void ClientSession::fail(beast::error_code ec, char const* what) {
  KTU_LOG(ERROR, "ClientSession", "{}: {}", what, ec.message());
  close();
}
