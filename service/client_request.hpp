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

  KtMsgBase envelope;
  // Receives each envelope the engine sends for this request; true when the request is finished.
  std::function<bool(KtMsgBase&&)> on_message;
  // Receives the text of the failure that ends the request.
  std::function<void(std::string_view)> on_error;
  // Called before the request is sent again after a time-out or a broken pipe, so that what
  // the failed attempt collected is not reported twice.
  std::function<void()> on_retry;
  int fd = 0;  // not owned: the body file's descriptor, passed after the frame
  // Attempts that ended in a time-out or a broken pipe; after a few the request fails instead of
  // being sent again, so that an engine that drops it every time cannot keep it forever.
  int failed_attempts = 0;
  // When it last entered the pool's queue: while the engine cannot be reached, it fails only
  // once it has waited too long.
  std::chrono::steady_clock::time_point queued_at{};
};
