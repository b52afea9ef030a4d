// kelto-rest: start-up, the event loop on its threads, systemd readiness and watchdog,
// and the stop on SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "ktu/log/log.hpp"
#include "service/client_pool.hpp"
#include "service/event_loop.hpp"
#include "service/listener.hpp"
#include "service/options.hpp"
#include "service/request_handler.hpp"

namespace asio = boost::asio;

namespace {

using WatchdogTimer = asio::steady_timer;

// now + interval, saturating at the clock's maximum instead of overflowing.
WatchdogTimer::time_point deadline_after(std::chrono::microseconds interval) {
  const auto now = WatchdogTimer::clock_type::now();
  const auto max = WatchdogTimer::time_point::max();
  const auto room = std::chrono::duration_cast<std::chrono::microseconds>(max - now);
  if (interval >= room) return max;
  return now + interval;
}

void watchdog_notify(const boost::system::error_code& ec, WatchdogTimer& timer,
                     std::chrono::microseconds interval);

void start_watchdog_wait(WatchdogTimer& timer, std::chrono::microseconds interval) {
  timer.expires_at(deadline_after(interval));
  timer.async_wait([&timer, interval](const boost::system::error_code& ec) {
    watchdog_notify(ec, timer, interval);
  });
}

void watchdog_notify(const boost::system::error_code& ec, WatchdogTimer& timer,
                     std::chrono::microseconds interval) {
  if (ec) {
    // The service runs on; only the keep-alives end, and systemd will notice.
    KTU_LOG(ERROR, "main", "watchdog timer: {}", ec.message());
    return;
  }
  sd_notify(0, "WATCHDOG=1\n");
  start_watchdog_wait(timer, interval);
}

// Numeric IPv6 (with an optional "%scope") first, then numeric IPv4; no name is resolved.
std::optional<asio::ip::address> convert_listen_address(const std::string& text) {
  boost::system::error_code ec;
  auto v6 = asio::ip::make_address_v6(text, ec);
  if (!ec) return asio::ip::address(v6);
  auto v4 = asio::ip::make_address_v4(text, ec);
  if (!ec) return asio::ip::address(v4);
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader of standard error that goes away (a pipe into "head", a closed terminal) must
  // not end the service: its writes then fail with EPIPE, which the sinks report and every
  // socket write already handles. Set before anything is written.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);

  Options options;
  parse_args(options, argc, argv);
  setup_logging(options);
  parse_config(options, options.config_path);

  const auto address = convert_listen_address(options.listen);
  if (!address) {
    KTU_LOG(ERROR, "main", "Invalid listen address: {}", options.listen);
    return 1;
  }

  asio::io_context ioc{options.threads};
  ClientPool pool{ioc, options};
  RequestHandler handler{pool, options};
  const asio::ip::tcp::endpoint endpoint{*address, options.port};
  // From here on the listener lives through its pending accept only.
  if (!std::make_shared<Listener>(ioc, endpoint, handler, options)->run()) return 1;

  asio::signal_set signals{ioc};
  boost::system::error_code signal_ec;
  signals.add(SIGINT, signal_ec);
  if (!signal_ec) signals.add(SIGTERM, signal_ec);
  if (signal_ec) {
    // Without them the service could not be stopped cleanly: refuse to start.
    KTU_LOG(ERROR, "main", "signal set: {}", signal_ec.message());
    return 1;
  }
  signals.async_wait([&ioc](const boost::system::error_code&, int signal_number) {
    KTU_LOG(INFO, "main", "Quit (signal {})", signal_number);
    ioc.stop();
  });

  WatchdogTimer watchdog{ioc};
  uint64_t watchdog_usec = 0;
  if (sd_watchdog_enabled(0, &watchdog_usec) > 0) {
    const std::chrono::microseconds interval{static_cast<int64_t>(watchdog_usec / 2)};
    start_watchdog_wait(watchdog, interval);
  }

  sd_notify(0, "READY=1\n");

  std::vector<std::thread> workers;
  for (int32_t i = 1; i < options.threads; ++i) {
    try {
      workers.emplace_back([&ioc] { run_event_loop(ioc); });
    } catch (const std::system_error& e) {
      // Readiness is already reported: serve with the threads that could be started.
      KTU_LOG(ERROR, "main", "Cannot start worker thread {} of {}: {}", i, options.threads - 1,
              e.what());
      break;
    }
  }
  run_event_loop(ioc);
  for (auto& worker : workers) worker.join();
  // Destroying the signal set restores the default actions; a further SIGINT or SIGTERM
  // during the teardown would then kill the process instead of letting it return 0. Only
  // this thread is left, so blocking them here keeps any such signal pending until exit.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  return 0;
}
