#include "service/client_session.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <fmt/format.h>

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
// All the frames of one request's reply together, headers included, may hold no more than this;
// a frame that declares more is refused at its header, before it is buffered. The reply handler
// keeps what the frames carry until the final response, and a real scan's findings fit many
// times over.
constexpr std::size_t kMaxReply = std::size_t{64} << 20;
// Attempts of one request in all before a lost answer ends it.
constexpr int kMaxAttempts = 3;
// Pauses between connect attempts while requests wait: short at first, so that a quick restart
// costs little, then growing, so that an engine that stays down is not asked in a tight loop.
constexpr auto kFirstConnectPause = std::chrono::milliseconds(10);
constexpr auto kMaxConnectPause = std::chrono::milliseconds(200);

// A reset says the engine closed its end with bytes of ours still unread: like a broken pipe,
// the request never reached it (an engine that answered and then restarted, say).
bool is_retryable(beast::error_code ec) {
  return ec == beast::error::timeout || ec == asio::error::broken_pipe || ec == asio::error::connection_reset;
}

// A reply names its request by the correlation id it echoes; an engine that echoes none is
// taken at its word.
bool answers(ClientRequest const& request, KtMsgBase const& reply) {
  return reply.correlation_id().empty() || reply.correlation_id() == request.envelope.correlation_id();
}

}  // namespace

ClientSession::ClientSession(asio::io_context& ioc, ClientPool& pool)
    : stream(asio::make_strand(ioc)),
      pool(pool),
      retry_timer(stream.get_executor()),
      connect_pause(kFirstConnectPause) {}

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
    if (!pool.connect_failed("engine connect: " + ec.message())) {
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
    return;
  }
  KTU_LOG(DEBUG, "ClientSession", "[{:x}] Connected", id());
  fresh_socket = true;
  connect_pause = kFirstConnectPause;
  pool.engine_reached();
  handle_another_request();
}

void ClientSession::on_retry_pause() {
  // Nothing cancels the pause: however it ended, a waiting request needs a connection.
  connect(pool.options.engine_socket);
}

void ClientSession::handle_another_request() {
  if (std::unique_ptr<ClientRequest> next = pool.next_request()) {
    send_request(std::move(next));
  } else {
    become_idle();
  }
}

void ClientSession::become_idle() {
  // It may sit on the stack long enough for the engine to go away meanwhile.
  fresh_socket = false;
  pool.release(this);
}

void ClientSession::send_request(std::unique_ptr<ClientRequest>&& request) {
  ktu::log::CorrelationScope scope(request->envelope.correlation_id());
  // A fresh socket is left to the write: an engine that drops every connection at once must
  // use up the request's attempts, not reconnect for ever.
  if (!fresh_socket && out_of_step()) {
    // Not written yet, so no attempt is lost: it goes first on another connection, or on this
    // one connected afresh.
    close();
    pool.resend_request(std::move(request));
    return;
  }
  fresh_socket = false;
  buffer.clear();
  std::size_t n = ktu::msg_wire::msg_wire_size(request->envelope);
  auto space = buffer.prepare(n);
  if (ktu::msg_wire::msg_wire_write(request->envelope, space.data()) == 0) {
    KTU_LOG(ERROR, "ClientSession", "serialization failed");
    // The socket stays open: nothing was written on it.
    buffer.clear();
    become_idle();
    request->report_error("internal write: serialization failed");
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
    on_io_error(std::move(request), ec, "write");
    return;
  }
  if (request->envelope.has_fd_count()) {
    KTU_LOG(DEBUG, "ClientSession", "[{:x}] Send FD {}", id(), request->fd);
    if (!ktu::util::write_fd_to_unix_pipe(stream.socket().native_handle(), request->fd)) {
      // The engine closed between the frame and the descriptor: it never took the request.
      if (errno == EPIPE || errno == ECONNRESET) {
        retry_request(std::move(request), "engine write: sendmsg failed");
      } else {
        fail_request(std::move(request), "engine write: sendmsg failed");
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
    fail_internal(std::move(request), e.what());
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
    on_io_error(std::move(request), ec, "read");
    return;
  }
  stream.expires_never();
  KTU_LOG(DEBUG, "ClientSession", "[{:x}] Received {} bytes", id(), n);
  buffer.commit(n);
  process_read(std::move(request));
}

void ClientSession::process_read(std::unique_ptr<ClientRequest> request) {
  // Several frames may have come in one read: each is handled before the next read.
  while (request) {
    KtMsgBase envelope;
    if (take_frame(request, envelope)) handle_frame(request, std::move(envelope));
  }
}

bool ClientSession::take_frame(std::unique_ptr<ClientRequest>& request, KtMsgBase& envelope) {
  auto data = buffer.data();
  auto [status, size] = ktu::msg_wire::msg_wire_read(envelope, data.data(), data.size());
  // Once a frame's header is in, `size` is the whole frame: one that would take the reply over
  // its bound is refused before it is buffered.
  if (reply_bytes + size > kMaxReply) {
    KTU_LOG(ERROR, "ClientSession", "reply too large");
    fail_request(std::move(request), "engine read: reply too large");
    return false;
  }
  if (status == ktu::msg_wire::ReadStatus::INCOMPLETE) {
    read_more(std::move(request));
    return false;
  }
  reply_bytes += size;
  KTU_LOG(DEBUG, "ClientSession", "[{:x}] Processed {} bytes", id(), size);
  buffer.consume(size);
  if (status != ktu::msg_wire::ReadStatus::OK) {
    KTU_LOG(ERROR, "ClientSession", "malformed message");
    fail_request(std::move(request), "engine read: malformed message");
    return false;
  }
  return true;
}

void ClientSession::handle_frame(std::unique_ptr<ClientRequest>& request, KtMsgBase&& envelope) {
  if (!answers(*request, envelope)) {
    // Part of an earlier reply (a late duplicate, say): this request's own answer, if it
    // comes, follows it on this connection, and the next request's would follow that.
    KTU_LOG(ERROR, "ClientSession", "reply for another request: {}", envelope.correlation_id());
    retry_request(std::move(request), "engine read: reply for another request");
    return;
  }
  const bool final_frame = envelope.type() == KT_RESPONSE;
  bool finished;
  try {
    finished = !request->on_message || request->on_message(std::move(envelope));
  } catch (const std::exception& e) {
    fail_internal(std::move(request), e.what());
    return;
  } catch (...) {
    fail_internal(std::move(request), "unknown exception");
    return;
  }
  if (!finished) return;
  request.reset();
  if (!final_frame) {
    // Ended before the engine's final response (a reply over its bounds, a finding that does
    // not parse): the rest of that reply would follow on this connection.
    close();
    return;
  }
  if (buffer.size() != 0) {
    // More than the request asked for: the engine is out of step with this connection.
    KTU_LOG(ERROR, "ClientSession", "unexpected data from the engine");
    close();
    return;
  }
  handle_another_request();
}

void ClientSession::on_io_error(std::unique_ptr<ClientRequest> request, beast::error_code ec, char const* what) {
  KTU_LOG(ERROR, "ClientSession", "{}: {}", what, ec.message());
  const std::string failure = fmt::format("engine {}: {}", what, ec.message());
  if (is_retryable(ec)) {
    retry_request(std::move(request), failure);
  } else {
    fail_request(std::move(request), failure);
  }
}

void ClientSession::fail_request(std::unique_ptr<ClientRequest> request, std::string const& failure) {
  close();
  request->report_error(failure);
}

void ClientSession::fail_internal(std::unique_ptr<ClientRequest> request, char const* what) {
  KTU_LOG(ERROR, "ClientSession", "{}: {}", "reply", what);
  fail_request(std::move(request), std::string("internal read: ") + what);
}

void ClientSession::retry_request(std::unique_ptr<ClientRequest> request, std::string const& failure) {
  close();
  if (++request->failed_attempts >= kMaxAttempts) {
    request->report_error(failure);
    return;
  }
  if (request->on_retry) request->on_retry();
  pool.resend_request(std::move(request));
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

void ClientSession::shutdown_socket() {
  KTU_LOG(DEBUG, "ClientSession", "[{:x}] Shutdown", id());
  beast::error_code ec;
  stream.socket().shutdown(asio::socket_base::shutdown_both, ec);
  if (ec && ec != beast::errc::not_connected) {
    KTU_LOG(ERROR, "ClientSession", "shutdown: {}", ec.message());
  }
  stream.close();
}

// The connection is given up: whatever is buffered or still to come on it belongs to no
// request. Nothing of this session may be touched once it is back on the idle stack.
void ClientSession::close() {
  shutdown_socket();
  buffer.clear();
  become_idle();
}
