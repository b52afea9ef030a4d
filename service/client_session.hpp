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

class ClientSession : public std::enable_shared_from_this<ClientSession> {
 public:
  using Stream = boost::beast::basic_stream<boost::asio::local::stream_protocol,
                                            boost::asio::strand<boost::asio::io_context::executor_type>,
                                            boost::beast::unlimited_rate_policy>;

  // Puts the new connection on the pool's idle stack; opens nothing.
  ClientSession(boost::asio::io_context& ioc, ClientPool& pool);
  ~ClientSession();

  // Called by the pool right after taking this connection off the idle stack.
  void connect(char const* path);
  void send_request(std::unique_ptr<ClientRequest>&& request);
  bool is_open() const;

 private:
  void on_connect(boost::beast::error_code ec);
  // A connect failed: fails the requests that have waited too long for a connection and, while
  // any still waits, connects again after a pause.
  void retry_connect_later(boost::beast::error_code ec);
  void on_retry_pause();
  void handle_another_request();
  void on_write(std::unique_ptr<ClientRequest> request, boost::beast::error_code ec, std::size_t bytes);
  void read_more(std::unique_ptr<ClientRequest> request);
  void on_read(std::unique_ptr<ClientRequest> request, boost::beast::error_code ec, std::size_t bytes);
  void process_read(std::unique_ptr<ClientRequest> request);
  void close();
  void fail(boost::beast::error_code ec, char const* what);
  // The request's reply has grown beyond what one reply may hold: a 500, and the connection
  // closed.
  void refuse_reply(std::unique_ptr<ClientRequest> request);
  void shutdown_socket();
  // Back on the idle stack; then let the pool hand out anything that waits.
  void become_idle();
  // A time-out, a broken pipe or a reset: the request is sent again from the start, unless it has
  // failed this way too often; then `failure` ends it.
  void give_back(std::unique_ptr<ClientRequest> request, std::string const& failure);
  void resend(std::unique_ptr<ClientRequest> request);
  // Handling the reply threw `what`: the request ends with it, the connection is closed.
  void end_after_exception(std::unique_ptr<ClientRequest> request, char const* what);
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
  // While the engine cannot be reached: the oldest waiting request, sent first once connected
  // (the queue cannot take it back at its front), and the pause before the next attempt.
  std::unique_ptr<ClientRequest> waiting;
  boost::asio::steady_timer retry_timer;
  std::chrono::steady_clock::duration connect_pause;
};
