// Feeds arbitrary receive buffers to the frame reader and the reply parsers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine.pb.h"
#include "msg.pb.h"
#include "proto/msg_wire.hpp"

using ktu::msg_wire::ReadStatus;

namespace {

void check(bool ok) {
  if (!ok) {
    std::abort();
  }
}

// Frames the envelope again and reads it back: the result must be stable.
void check_round_trip(const KtMsgBase& envelope) {
  std::vector<std::uint8_t> out(ktu::msg_wire::msg_wire_size(envelope));
  check(ktu::msg_wire::msg_wire_write(envelope, out.data()) == out.size());
  KtMsgBase again;
  auto [status, size] = ktu::msg_wire::msg_wire_read(again, out.data(), out.size());
  check(status == ReadStatus::OK && size == out.size());
  check(again.SerializeAsString() == envelope.SerializeAsString());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t len) {
  std::size_t pos = 0;
  while (pos <= len) {
    KtMsgBase envelope;
    auto [status, size] = ktu::msg_wire::msg_wire_read(envelope, data + pos, len - pos);
    if (status == ReadStatus::INCOMPLETE) {
      check(size > len - pos && size >= 8);
      break;
    }
    if (status == ReadStatus::BAD_MAGIC) {
      check(size == 0);
      break;
    }
    check(size >= 8 && size <= len - pos);
    if (status == ReadStatus::OK) {
      check_round_trip(envelope);
      // The service parses the payload by message type; try both on every payload.
      KtEngineScanProgress progress;
      if (progress.ParseFromString(envelope.payload())) {
        KtScanRecord record(std::move(*progress.mutable_record()));
        (void)record.ByteSizeLong();
      }
      KtEngineScanResponse response;
      if (response.ParseFromString(envelope.payload())) {
        (void)response.scan_result().version_info().version().size();
      }
    }
    pos += size;
  }
  return 0;
}
