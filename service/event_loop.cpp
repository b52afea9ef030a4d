#include "service/event_loop.hpp"

#include <exception>

#include <boost/asio/io_context.hpp>

#include "ktu/log/log.hpp"

void run_event_loop(boost::asio::io_context& ioc) {
  for (;;) {
    try {
      ioc.run();
      return;
    } catch (const std::exception& e) {
      KTU_LOG(ERROR, "main", "Exception in event loop: {}", e.what());
    } catch (...) {
      KTU_LOG(ERROR, "main", "Exception in event loop: unknown exception");
    }
  }
}
