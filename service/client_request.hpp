// One request on its way to the engine: the envelope to send, the descriptor that follows it,
// and the two handlers that receive the engine's answer or the failure that ends the request.
#pragma once

#include <chrono>
#include <functional>
#include <string_view>

#include "msg.pb.h"

struct ScanRequestPayload;

class ClientRequest {
 public:
  // Fills the envelope from a prepared payload: type, opcode, correlation id, the descriptor
  // when the body travels as one, and the serialized scan request. False when it does not
  // serialize.
  bool setup(ScanRequestPayload const& payload);

  // Ends the request with `failure` through its error handler, if it has one. The request ends
  // here whatever the handler does: an exception from it is logged and goes no further.
  void report_error(std::string_view failure) noexcept;

  KtMsgBase envelope;
  // Receives each envelope the engine sends for this request; true when the request is finished.
  std::function<bool(KtMsgBase&&)> on_message;
  // Receives the text of the failure that ends the request.
  std::function<void(std::string_view)> on_error;
  // Called before the request is sent again after a failed attempt, so that what the failed
  // attempt collected is not reported twice.
  std::function<void()> on_retry;
  int fd = 0;  // not owned: the body file's descriptor, passed after the frame
  // Attempts whose answer was lost with their connection (a time-out, a broken pipe, a reset, a
  // reply for another request); after a few the request fails instead of being sent again, so
  // that an engine that loses it every time cannot keep it forever.
  int failed_attempts = 0;
  // When the pool admitted it: while the engine cannot be reached, it waits a bounded time
  // counted from this or from the first failed connect, whichever is later.
  std::chrono::steady_clock::time_point admitted_at{};
};
