#include "service/session.hpp"

#include <sys/mman.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include <boost/asio/dispatch.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <fmt/format.h>

#include "ktu/log/log.hpp"

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;

namespace {

constexpr auto header_timeout = std::chrono::seconds(30);
constexpr auto write_timeout = std::chrono::seconds(30);
constexpr std::uint32_t header_limit = 8192;

// Sets the thread's correlation id for one completion and clears it however the completion ends.
class CorrelationScope {
 public:
  explicit CorrelationScope(const std::string& id) { ktu::log::set_correlation_id(id); }
  ~CorrelationScope() { ktu::log::clear_correlation_id(); }
  CorrelationScope(const CorrelationScope&) = delete;
  CorrelationScope& operator=(const CorrelationScope&) = delete;
};

}  // namespace

int rest_memfd_create(const std::string& name) { return ::memfd_create(name.c_str(), MFD_CLOEXEC); }

beast::error_code check_head(const RequestParser& parser, std::size_t head_bytes) {
  // The parser holds the request line and the fields to the limit each, not together.
  if (head_bytes > header_limit) return http::error::header_limit;
  // Without a final chunked coding the body's end is unknown: read as empty, its bytes would
  // be served as the next request.
  if (parser.get().count(http::field::transfer_encoding) != 0 && !parser.chunked()) {
    return http::error::bad_transfer_encoding;
  }
  return {};
}

Session::Session(net::ip::tcp::socket&& socket, RequestHandler& handler_, const Options& options_)
    : stream(std::move(socket)),
      handler(handler_),
      options(options_),
      id(fmt::format("{:x}", reinterpret_cast<std::uintptr_t>(this))) {}

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
  buffer.reserve(65536);
  net::dispatch(stream.get_executor(),
                beast::bind_front_handler(&Session::do_read_header, shared_from_this()));
}

void Session::do_read_header() {
  KTU_LOG(DEBUG, "Session", "[{}] Awaiting next request...", id);
  // The previous request's memory file goes with its parser, before the next one is made: a
  // session never needs a third descriptor, even when the process is at its descriptor limit.
  parser.reset();
  const int fd = rest_memfd_create(id);
  if (fd < 0) {
    do_close();
    return;
  }
  parser.emplace();
  beast::error_code ec;
  beast::file body_file;
  body_file.native_handle(fd);  // owned (and closed) by the body from here on
  parser->get().body().reset(std::move(body_file), ec);
  parser->header_limit(header_limit);
  parser->body_limit(std::numeric_limits<std::uint64_t>::max());
  stream.expires_after(header_timeout);
  // Bytes after the previous request stay in the buffer: they are the next pipelined request.
  http::async_read_header(stream, buffer, *parser,
                          beast::bind_front_handler(&Session::on_read_header, shared_from_this()));
}

void Session::on_read_header(beast::error_code ec, std::size_t bytes) {
  if (!ec) ec = check_head(*parser, bytes);
  if (ec == http::error::end_of_stream) {
    // The peer closed between requests.
    do_shutdown(net::socket_base::shutdown_send);
    do_close();
    return;
  }
  if (ec) {
    KTU_LOG(ERROR, "Session", "[{}] read_header: {}", id, ec.message());
    do_close();
    return;
  }
  // No time limit while the handler and the engine work.
  stream.expires_never();
  auto& req = parser->get();
  const auto field = req.find("X-Correlation-Id");
  correlation_id = field == req.end() ? std::string() : std::string(field->value());
  CorrelationScope scope(correlation_id);
  KTU_LOG(DEBUG, "Session", "[{}] Finished reading header {} B", id, bytes);
  request = handler.handle_header(req, make_reply());
  if (request && request->read_body_now) do_read();
}

void Session::do_read() {
  KTU_LOG(DEBUG, "Session", "[{}] Awaiting request content...", id);
  stream.expires_after(std::chrono::seconds(options.recv_timeout));
  http::async_read(stream, buffer, *parser,
                   beast::bind_front_handler(&Session::on_read, shared_from_this()));
}

void Session::on_read(beast::error_code ec, std::size_t bytes) {
  CorrelationScope scope(correlation_id);
  if (ec == http::error::end_of_stream) {
    do_shutdown(net::socket_base::shutdown_send);
    do_close();
    return;
  }
  if (ec) {
    KTU_LOG(ERROR, "Session", "[{}] read: {}", id, ec.message());
    do_close();
    return;
  }
  KTU_LOG(DEBUG, "Session", "[{}] Finished reading content {} B", id, bytes);
  stream.expires_never();
  handler.handle_body(std::move(request), parser->get(), make_reply());
  request.reset();
}

ReplyCallback Session::make_reply() {
  return [self = shared_from_this()](HttpResponse&& res) {
    // The engine answers on its own strand: the write starts on the session's, where every
    // other step of this connection runs (inline when the caller is already there).
    net::dispatch(self->stream.get_executor(), [self, res = std::move(res)]() mutable {
      // Run later from the strand's queue, the thread carries no correlation id of its own.
      std::optional<CorrelationScope> scope;
      if (ktu::log::get_correlation_id().empty()) scope.emplace(self->correlation_id);
      self->send(std::move(res));
    });
  };
}

void Session::send(HttpResponse&& res) {
  KTU_LOG(INFO, "Session", "[{}] Sending {} {} (data: {} B)", id, res.result_int(), res.reason(),
          res.body().size());
  if (!correlation_id.empty()) res.set("X-Correlation-Id", correlation_id);
  // An answer to HEAD keeps its Content-Length but sends no body: the client reads none.
  if (parser->get().method() == http::verb::head) res.body().clear();
  const bool interim = res.result_int() / 100 == 1;
  bool close = res.need_eof();
  if (interim) {
    // An interim answer only announces the body read; it never ends the connection.
    close = false;
  } else if (!parser->is_done()) {
    // Answered before its body was read: the unread body must not be taken for a request.
    close = true;
  }
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
