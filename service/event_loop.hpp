// The body of every thread that runs the event loop.
#pragma once

namespace boost::asio {
class io_context;
}

// Runs `ioc` until it is stopped. An exception that escapes a completion handler is logged
// at ERROR with its text and the loop is run again, so one faulty completion neither ends
// the process nor takes this thread away from the other connections.
void run_event_loop(boost::asio::io_context& ioc);
