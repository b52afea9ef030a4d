// One accepted HTTP connection, served one request at a time from its first request to its close.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include "service/options.hpp"
#include "service/request_framing.hpp"
#include "service/request_handler.hpp"

// The memory file that receives one request body; the descriptor, or -1 with errno kept.
int rest_memfd_create(const std::string& name);

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(boost::asio::ip::tcp::socket&& socket, RequestHandler& handler, const Options& options);

  void run();

 private:
  void do_read_header();
  void do_open_body_file();
  void on_descriptor_wait(boost::beast::error_code ec);
  // `continuation`: a read of this head or body has already completed.
  void do_parse_header(bool continuation);
  void on_read_header_part(boost::beast::error_code ec, std::size_t bytes);
  void on_read_header(boost::beast::error_code ec);
  void do_read();
  void do_parse_body(bool continuation);
  void on_read_body_part(boost::beast::error_code ec, std::size_t bytes);
  void on_read(boost::beast::error_code ec);
  void send(HttpResponse&& res, bool refused = false);
  void on_write(bool close, boost::beast::error_code ec, std::size_t bytes);
  void do_drain();
  void on_drain(boost::beast::error_code ec, std::size_t bytes);
  void do_shutdown(boost::asio::socket_base::shutdown_type how);
  void do_close();
  ReplyCallback make_reply();
  std::string_view buffered() const;  // the bytes read and not yet taken by the parser

  boost::beast::tcp_stream stream;
  boost::beast::flat_buffer buffer;
  std::optional<RequestParser> parser;
  std::unique_ptr<HttpResponse> response;
  RequestHandler& handler;
  std::unique_ptr<Request> request;
  std::string correlation_id;
  const Options& options;
  std::string id;  // the session's identity in log lines and memory-file names
  HeadProgress head;  // of the head being read
  std::size_t body_bytes = 0;  // of the body being read, taken by the parser so far
  bool drain = false;  // the connection ends with input unread: read it away before the close
  boost::asio::steady_timer descriptor_wait;  // retries the memory file while descriptors are short
  int descriptor_retries = 0;
};
