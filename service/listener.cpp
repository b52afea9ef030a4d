#include "service/listener.hpp"

#include <chrono>

#include <boost/asio/error.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/beast/core/bind_handler.hpp>

#include "ktu/log/log.hpp"
#include "service/session.hpp"

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// After a failed accept: out of descriptors or memory, accepting again at once would fail again
// at once, spinning a thread and flooding the log until a connection ends.
constexpr auto accept_pause_time = std::chrono::milliseconds(100);

void fail(boost::system::error_code ec, const char* what) {
  KTU_LOG(ERROR, "Listener", "{}: {}", what, ec.message());
}

}  // namespace

Listener::Listener(net::io_context& ioc_, const tcp::endpoint& endpoint, RequestHandler& handler_,
                   const Options& options_)
    : ioc(ioc_),
      acceptor(net::make_strand(ioc_)),
      accept_pause(acceptor.get_executor()),
      handler(handler_),
      options(options_) {
  boost::system::error_code ec;
  const auto failed = [&](const char* what) {
    if (!ec) return false;
    fail(ec, what);
    boost::system::error_code ignored;
    acceptor.close(ignored);
    return true;
  };

  acceptor.open(endpoint.protocol(), ec);
  if (failed("open")) return;
  acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (failed("set_option(reuse_address)")) return;
  if (options.dont_route) {
    acceptor.set_option(net::socket_base::do_not_route(true), ec);
    if (failed("set_option(do_not_route)")) return;
  }
  acceptor.bind(endpoint, ec);
  if (failed("bind")) return;
  KTU_LOG(INFO, "Listener", "Listening on {}:{}", endpoint.address().to_string(), endpoint.port());
  acceptor.listen(4096, ec);
  if (failed("listen")) return;
}

bool Listener::run() {
  if (!acceptor.is_open()) return false;
  do_accept();
  return true;
}

void Listener::do_accept() {
  acceptor.async_accept(net::make_strand(ioc),
                        boost::beast::bind_front_handler(&Listener::on_accept, shared_from_this()));
}

void Listener::on_accept(boost::system::error_code ec, tcp::socket socket) {
  if (ec == net::error::connection_aborted) {
    // That one connection is gone; the next may be waiting already.
    fail(ec, "accept");
    do_accept();
    return;
  }
  if (ec) {
    // Never fatal, but the next accept waits for a connection to end and free its descriptors.
    fail(ec, "accept");
    accept_pause.expires_after(accept_pause_time);
    accept_pause.async_wait(
        boost::beast::bind_front_handler(&Listener::on_accept_pause, shared_from_this()));
    return;
  }
  std::make_shared<Session>(std::move(socket), handler, options)->run();
  do_accept();
}

void Listener::on_accept_pause(boost::system::error_code) {
  // The timer is never cancelled: whatever its outcome, accepting goes on.
  do_accept();
}
