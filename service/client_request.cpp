#include "service/client_request.hpp"

#include "engine.pb.h"
#include "ktu/log/log.hpp"
#include "proto/msg_wire.hpp"
#include "service/request_handler.hpp"

bool ClientRequest::setup(ScanRequestPayload const& payload) {
  envelope.set_type(KT_REQUEST);
  envelope.set_opcode(KT_REQ_ENGINE_SCAN);
  // Present on the wire even when empty.
  envelope.set_correlation_id(payload.correlation_id);
  if (payload.request.has_scan_params() && payload.request.scan_params().has_fd_index()) {
    envelope.set_fd_count(1);
    fd = payload.fd;
  }
  if (!ktu::msg_wire::msg_store_payload(envelope, payload.request)) {
    KTU_LOG(ERROR, "ClientRequest", "payload serialization failed");
    return false;
  }
  return true;
}

void ClientRequest::report_error(std::string_view failure) noexcept {
  if (!on_error) return;
  try {
    on_error(failure);
  } catch (const std::exception& e) {
    KTU_LOG(ERROR, "ClientSession", "error handler: {}", e.what());
  } catch (...) {
    KTU_LOG(ERROR, "ClientSession", "error handler: unknown exception");
  }
}
