// The listening TCP socket of the HTTP front and its accept loop.
#pragma once

#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "service/options.hpp"

struct RequestHandler;

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  // Opens, configures, binds and listens; a failed step is logged and leaves the acceptor closed.
  Listener(boost::asio::io_context& ioc, const boost::asio::ip::tcp::endpoint& endpoint,
           RequestHandler& handler, const Options& options);

  // false when the acceptor is not open; otherwise starts accepting.
  bool run();

 private:
  void do_accept();
  void on_accept(boost::system::error_code ec, boost::asio::ip::tcp::socket socket);
  void on_accept_pause(boost::system::error_code ec);

  boost::asio::io_context& ioc;
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer accept_pause;  // on the acceptor's strand
  RequestHandler& handler;
  const Options& options;
};
