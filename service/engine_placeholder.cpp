#include "service/client_pool.hpp"
#include "service/request_handler.hpp"

// No engine client yet: say so to the client instead of leaving it waiting.
std::unique_ptr<ClientRequest> forward_scanner_request(ScanRequestPayload const&, unsigned http_version,
                                                       ReplyCallback&& reply) {
  reply(server_error(http_version, "engine client not available"));
  return nullptr;
}
