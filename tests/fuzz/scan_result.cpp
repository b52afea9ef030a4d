// Feeds arbitrary engine answers to the reply handler of a scan request: whatever the engine
// sends, the client gets at most one answer, a 200 whose body is a JSON result or a 500.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <boost/json/parse.hpp>

#include "msg.pb.h"
#include "proto/msg_wire.hpp"
#include "service/scan_result.hpp"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  int answers = 0;
  ScanReplyHandler handler;
  // The first byte chooses the options of the request.
  handler.detections = (data[0] & 1) != 0;
  handler.scanned_size = (data[0] & 2) != 0 ? 1234 : kUnknownScannedSize;
  handler.reply = [&](HttpResponse&& response) {
    ++answers;
    const unsigned status = response.result_int();
    check(status == 200 || status == 500);
    const std::string& body = response.body();
    check(!body.empty() && body.back() == '\n');
    if (status == 200) {
      boost::system::error_code ec;
      auto value = boost::json::parse(body, ec);
      check(!ec && value.is_object() && value.as_object().contains("issues") &&
            value.as_object().contains("vps_version"));
      check((response.find("X-Scanned-Bytes") != response.end()) == ((data[0] & 2) != 0));
    }
  };
  std::size_t offset = 1;
  bool finished = false;
  while (offset < size && !finished) {
    KtMsgBase envelope;
    auto [status, used] = ktu::msg_wire::msg_wire_read(envelope, data + offset, size - offset);
    if (status == ktu::msg_wire::ReadStatus::INCOMPLETE || status == ktu::msg_wire::ReadStatus::BAD_MAGIC) break;
    offset += used;
    if (status != ktu::msg_wire::ReadStatus::OK) continue;
    finished = handler(std::move(envelope));
    check(answers == (finished ? 1 : 0));
  }
  return 0;
}
