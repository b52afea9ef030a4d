// One connection of the service to the scanning engine's unix stream socket. It carries one
// request at a time: connect when needed, write the frame, pass the body's descriptor, read
// frames until the request is finished, then take the next waiting request or go idle.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/basic_stream.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>

class ClientPool;
class ClientRequest;
class KtMsgBase;

class ClientSession : public std::enable_shared_from_this<ClientSession> {
 public:
  using Stream = boost::beast::basic_stream<boost::asio::local::stream_protocol,
                                            boost::asio::strand<boost::asio::io_context::executor_type>,
                                            boost::beast::unlimited_rate_policy>;

  // Opens nothing: it connects the first time the pool hands it a request.
  ClientSession(boost::asio::io_context& ioc, ClientPool& pool);
  ~ClientSession();

  // Called by the pool right after taking this connection off the idle stack.
  void connect(char const* path);
  void send_request(std::unique_ptr<ClientRequest>&& request);
  bool is_open() const;

 private:
  void on_connect(boost::beast::error_code ec);
  void on_retry_pause();
  void handle_another_request();
  void on_write(std::unique_ptr<ClientRequest> request, boost::beast::error_code ec, std::size_t bytes);
  void read_more(std::unique_ptr<ClientRequest> request);
  void on_read(std::unique_ptr<ClientRequest> request, boost::beast::error_code ec, std::size_t bytes);
  // Hands each whole frame in the buffer to the request until it ends or wants more bytes.
  void process_read(std::unique_ptr<ClientRequest> request);
  // The next whole frame of the buffer into `envelope`. False when the step ends here: more
  // bytes to read, or a reply that broke its framing or its bound (the request has ended).
  bool take_frame(std::unique_ptr<ClientRequest>& request, KtMsgBase& envelope);
  // One frame of the request's reply; leaves `request` empty once it has ended or gone.
  void handle_frame(std::unique_ptr<ClientRequest>& request, KtMsgBase&& envelope);
  // A write or a read failed.
  void on_io_error(std::unique_ptr<ClientRequest> request, boost::beast::error_code ec, char const* what);
  // The request ends with `failure` and the connection is closed: what may follow on it belongs
  // to no request.
  void fail_request(std::unique_ptr<ClientRequest> request, std::string const& failure);
  // Reading or handling the reply failed in this process (`what`, an exception's text, say).
  void fail_internal(std::unique_ptr<ClientRequest> request, char const* what);
  // The request's answer is lost with this connection (a time-out, a broken pipe, a reset, a
  // reply for another request): the connection is closed and the request sent again first,
  // unless it has failed this way too often; then `failure` ends it.
  void retry_request(std::unique_ptr<ClientRequest> request, std::string const& failure);
  void close();
  void shutdown_socket();
  // Back on the idle stack; then the pool hands out anything that waits.
  void become_idle();
  // Anything has arrived since the last request was finished, end of file included: those bytes
  // belong to no request, and the next one must not take them for its answer.
  bool out_of_step();
  std::uintptr_t id() const { return reinterpret_cast<std::uintptr_t>(this); }

  Stream stream;
  boost::beast::flat_buffer buffer;
  ClientPool& pool;
  // Connected and not yet used: the next request sent here is the first on this socket.
  bool fresh_socket = false;
  // Bytes of the frames received so far for the request in progress.
  std::size_t reply_bytes = 0;
  // While the engine cannot be reached: the pause before the next connect.
  boost::asio::steady_timer retry_timer;
  std::chrono::steady_clock::duration connect_pause;
};
