#include "service/session.hpp"

#include <sys/mman.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/read_size.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/write.hpp>
#include <fmt/format.h>

#include "ktu/log/log.hpp"

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;

namespace {

constexpr auto header_timeout = std::chrono::seconds(30);
constexpr auto write_timeout = std::chrono::seconds(30);
// Out of descriptors, a connection waits for its memory file this often, as long as a client
// may take to send its head.
constexpr auto descriptor_retry_time = std::chrono::milliseconds(100);
constexpr int descriptor_retries_max = 300;
// How long the input of a connection closed with input unread is read away.
constexpr auto drain_timeout = std::chrono::seconds(5);

using ktu::log::CorrelationScope;

// The reads after the first of one head or body are continuations, as Beast's own are: Asio
// then completes each on the thread that started it instead of waking another thread.
template <class Handler>
struct Continued {
  Handler handler;
  bool continuation;

  template <class... Args>
  void operator()(Args&&... args) {
    handler(std::forward<Args>(args)...);
  }

  friend bool asio_handler_is_continuation(Continued* self) { return self->continuation; }
};

template <class Handler>
Continued<Handler> continued(bool continuation, Handler&& handler) {
  return {std::forward<Handler>(handler), continuation};
}

}  // namespace

int rest_memfd_create(const std::string& name) { return ::memfd_create(name.c_str(), MFD_CLOEXEC); }

Session::Session(net::ip::tcp::socket&& socket, RequestHandler& handler_, const Options& options_)
    : stream(std::move(socket)),
      handler(handler_),
      options(options_),
      id(fmt::format("{:x}", reinterpret_cast<std::uintptr_t>(this))),
      descriptor_wait(stream.get_executor()) {}

void Session::run() {
  beast::error_code ec;
  const auto peer = stream.socket().remote_endpoint(ec);
  if (ec) {
    // The peer has gone already: nothing to serve.
    KTU_LOG(DEBUG, "Session", "[{}] remote_endpoint: {}", id, ec.message());
    do_close();
    return;
  }
  KTU_LOG(INFO, "Session", "[{}] New connection from {}:{}", id, peer.address().to_string(),
          peer.port());
  // An answer written behind an unacknowledged one (pipelining) would otherwise wait for the
  // client's delayed acknowledgement.
  stream.socket().set_option(net::ip::tcp::no_delay(true), ec);
  if (ec) KTU_LOG(ERROR, "Session", "[{}] set_option(no_delay): {}", id, ec.message());
  buffer.reserve(65536);
  net::dispatch(stream.get_executor(),
                beast::bind_front_handler(&Session::do_read_header, shared_from_this()));
}

void Session::do_read_header() {
  KTU_LOG(DEBUG, "Session", "[{}] Awaiting next request...", id);
  // The previous request's memory file goes with its parser, before the next one is made: a
  // session never needs a third descriptor, even when the process is at its descriptor limit.
  parser.reset();
  descriptor_retries = 0;
  do_open_body_file();
}

void Session::do_open_body_file() {
  const int fd = rest_memfd_create(id);
  if (fd < 0) {
    // Holding on to the socket keeps the listener's accepts failing and pausing, so the
    // clients behind this one wait in the backlog instead of being taken and dropped.
    if (descriptor_retries == 0) KTU_LOG(ERROR, "Session", "[{}] memfd_create: {m:s}", id);
    if (descriptor_retries++ == descriptor_retries_max) {
      send(fixed_response(http::status::service_unavailable), true);
      return;
    }
    descriptor_wait.expires_after(descriptor_retry_time);
    descriptor_wait.async_wait(
        beast::bind_front_handler(&Session::on_descriptor_wait, shared_from_this()));
    return;
  }
  parser.emplace();
  beast::error_code ec;
  beast::file body_file;
  body_file.native_handle(fd);  // owned (and closed) by the body from here on
  parser->get().body().reset(std::move(body_file), ec);
  parser->header_limit(head_limit);
  parser->body_limit(std::numeric_limits<std::uint64_t>::max());
  parser->eager(false);
  head = {};
  stream.expires_after(header_timeout);
  // Bytes after the previous request stay in the buffer: they are the next pipelined request.
  do_parse_header(false);
}

void Session::on_descriptor_wait(beast::error_code) {
  // The timer is never cancelled: whatever its outcome, try again.
  do_open_body_file();
}

// The header read of Beast's parser, with a look at each part of the head before the buffer
// lets go of it.
void Session::do_parse_header(bool continuation) {
  if (buffer.size() != 0) {
    beast::error_code ec;
    buffer.consume(put_head(*parser, head, buffered(), ec));
    if (ec != http::error::need_more) {
      on_read_header(ec);
      return;
    }
  }
  stream.async_read_some(buffer.prepare(beast::read_size(buffer, 65536)),
                         continued(continuation, beast::bind_front_handler(&Session::on_read_header_part,
                                                                           shared_from_this())));
}

void Session::on_read_header_part(beast::error_code ec, std::size_t bytes) {
  buffer.commit(bytes);
  if (ec == net::error::eof) {
    // As the parser's own read: a close before any byte is the end of the stream.
    if (parser->got_some()) {
      ec = {};
      parser->put_eof(ec);
    } else {
      ec = http::error::end_of_stream;
    }
  }
  if (ec) {
    on_read_header(ec);
    return;
  }
  do_parse_header(true);
}

void Session::on_read_header(beast::error_code ec) {
  const Verdict verdict = classify_head(*parser, head, ec);
  if (verdict.error == http::error::end_of_stream) {
    // The peer closed between requests.
    do_shutdown(net::socket_base::shutdown_send);
    do_close();
    return;
  }
  if (verdict.error) {
    KTU_LOG(ERROR, "Session", "[{}] read_header: {}", id, verdict.error.message());
    if (verdict.answer == http::status::unknown) {
      do_close();
      return;
    }
    // A front end counts a connection closed without an answer as a failed server.
    send(fixed_response(verdict.answer), true);
    return;
  }
  // No time limit while the handler and the engine work.
  stream.expires_never();
  auto& req = parser->get();
  const auto field = req.find("X-Correlation-Id");
  correlation_id = field == req.end() ? std::string() : std::string(field->value());
  CorrelationScope scope(correlation_id);
  KTU_LOG(DEBUG, "Session", "[{}] Finished reading header {} B", id, head.taken);
  request = handler.handle_header(req, make_reply());
  if (request && request->read_body_now) do_read();
}

void Session::do_read() {
  KTU_LOG(DEBUG, "Session", "[{}] Awaiting request content...", id);
  stream.expires_after(std::chrono::seconds(options.recv_timeout));
  parser->eager(true);
  body_bytes = 0;
  do_parse_body(false);
}

// The body read of Beast's parser, with a look at what the parser waits on.
void Session::do_parse_body(bool continuation) {
  beast::error_code ec;
  if (buffer.size() != 0 && !parser->is_done()) {
    const std::size_t used = put_body(*parser, buffered(), ec);
    buffer.consume(used);
    body_bytes += used;
  }
  if (!ec && !parser->is_done()) ec = http::error::need_more;
  if (ec == http::error::need_more) {
    stream.async_read_some(buffer.prepare(beast::read_size(buffer, 65536)),
                           continued(continuation, beast::bind_front_handler(&Session::on_read_body_part,
                                                                             shared_from_this())));
    return;
  }
  if (continuation) {
    // In a read's completion already: the read ends here, as Beast's does after a read.
    on_read(ec);
    return;
  }
  // The read ends as a completion of its own, as Beast's does, even with the body at hand.
  net::post(stream.get_executor(), beast::bind_front_handler(&Session::on_read, shared_from_this(), ec));
}

void Session::on_read_body_part(beast::error_code ec, std::size_t bytes) {
  buffer.commit(bytes);
  if (ec == net::error::eof) {
    // The body ends short of its length (the parser has taken the head, so it has some).
    ec = {};
    parser->put_eof(ec);
  }
  if (ec) {
    on_read(ec);
    return;
  }
  do_parse_body(true);
}

void Session::on_read(beast::error_code ec) {
  CorrelationScope scope(correlation_id);
  if (ec) {
    KTU_LOG(ERROR, "Session", "[{}] read: {}", id, ec.message());
    const Verdict verdict = classify_body(ec);
    if (verdict.answer == http::status::unknown) {
      do_close();
      return;
    }
    // Answered like a refused head: the client learns why the connection ends.
    request.reset();
    send(fixed_response(verdict.answer), true);
    return;
  }
  KTU_LOG(DEBUG, "Session", "[{}] Finished reading content {} B", id, body_bytes);
  stream.expires_never();
  handler.handle_body(std::move(request), parser->get(), make_reply());
  request.reset();
}

std::string_view Session::buffered() const {
  return {static_cast<const char*>(buffer.data().data()), buffer.size()};
}

ReplyCallback Session::make_reply() {
  return [self = shared_from_this()](HttpResponse&& res) {
    // The engine answers on its own strand: the write starts on the session's, where every
    // other step of this connection runs (inline when the caller is already there).
    net::dispatch(self->stream.get_executor(), [self, res = std::move(res)]() mutable {
      CorrelationScope scope(self->correlation_id);
      self->send(std::move(res));
    });
  };
}

void Session::send(HttpResponse&& res, bool refused) {
  KTU_LOG(INFO, "Session", "[{}] Sending {} {} (data: {} B)", id, res.result_int(), res.reason(),
          res.body().size());
  if (!correlation_id.empty()) res.set("X-Correlation-Id", correlation_id);
  // An answer to HEAD keeps its Content-Length but sends no body: the client reads none.
  if (parser && parser->get().method() == http::verb::head) res.body().clear();
  const bool interim = res.result_int() / 100 == 1;
  bool close = res.need_eof();
  if (interim) {
    // An interim answer only announces the body read; it never ends the connection.
    close = false;
  } else if (refused || !parser->is_done()) {
    // A refused head, or an answer before the body was read: what follows on the connection
    // must not be taken for a request.
    close = true;
    drain = true;
  }
  // A keep-alive client or a proxy's pool must not send its next request on this connection.
  if (close) res.set(http::field::connection, "close");
  response = std::make_unique<HttpResponse>(std::move(res));
  stream.expires_after(write_timeout);
  http::async_write(stream, *response,
                    beast::bind_front_handler(&Session::on_write, shared_from_this(), close));
}

void Session::on_write(bool close, beast::error_code ec, std::size_t) {
  CorrelationScope scope(correlation_id);
  response.reset();
  if (ec) {
    KTU_LOG(ERROR, "Session", "[{}] write: {}", id, ec.message());
    do_close();
    return;
  }
  if (close) {
    do_shutdown(net::socket_base::shutdown_send);
    if (drain) {
      do_drain();
      return;
    }
    do_close();
    return;
  }
  if (request) {
    // The interim 100 is out: now the body.
    do_read();
    return;
  }
  correlation_id.clear();
  ktu::log::clear_correlation_id();
  do_read_header();
}

// Closed with input unread, the socket would answer the client's next bytes with a reset,
// which can destroy the answer before the client has read it.
void Session::do_drain() {
  // The request is over: its memory file goes now, not with the session.
  parser.reset();
  stream.expires_after(drain_timeout);
  buffer.clear();
  stream.async_read_some(buffer.prepare(65536),
                         beast::bind_front_handler(&Session::on_drain, shared_from_this()));
}

void Session::on_drain(beast::error_code ec, std::size_t) {
  if (ec) {
    // The client closed, reset or took too long.
    do_close();
    return;
  }
  // The time limit set at the start holds for the whole drain.
  stream.async_read_some(buffer.prepare(65536),
                         beast::bind_front_handler(&Session::on_drain, shared_from_this()));
}

void Session::do_shutdown(net::socket_base::shutdown_type how) {
  beast::error_code ec;
  stream.socket().shutdown(how, ec);
  if (ec && ec != beast::errc::not_connected) {
    KTU_LOG(ERROR, "Session", "shutdown: {}", ec.message());
  }
}

void Session::do_close() {
  beast::error_code ec;
  stream.socket().close(ec);
  if (ec) throw std::system_error(ec, "close");
  KTU_LOG(DEBUG, "Session", "[{}] Connection closed.", id);
}
