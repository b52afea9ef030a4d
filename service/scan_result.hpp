// The engine's answer to one scan request turned into the HTTP response: the findings of the
// progress messages collected, then, with the final response, the JSON result
// {"issues":[...],"vps_version":"..."} or a 500 with the engine's failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine.pb.h"
#include "msg.pb.h"
#include "service/request_handler.hpp"

// Size reported when no body was passed or its size cannot be read: no "X-Scanned-Bytes".
inline constexpr std::uint64_t kUnknownScannedSize = 4294967295u;

// The reply handler of a scan request: receives each envelope the engine sends for it and
// returns true once the request is finished.
class ScanReplyHandler {
 public:
  bool operator()(KtMsgBase&& envelope);

  ReplyCallback reply;
  unsigned http_version = 11;
  std::uint64_t scanned_size = kUnknownScannedSize;
  bool detections = false;
  std::vector<KtScanRecord> records;
  // Detections in `records`, all records together.
  std::size_t detection_count = 0;
};

// The JSON result for the collected records and the final response, with its line feed; or,
// when a listed record's path and depth disagree, nothing and the failure text in `error`.
std::optional<std::string> build_scan_result(std::vector<KtScanRecord> const& records,
                                             KtEngineScanResponse const& response, bool detections,
                                             std::string& error);
