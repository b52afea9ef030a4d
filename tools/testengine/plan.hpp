// The stand-in engine's scanner: reads the data of one request and decides what to answer.
//
// It really scans: the standard 68-byte antivirus test string anywhere in the data is a
// detection. Lines of the data that start with the marker "#kte " are directives that make
// the engine answer in every way the service has to cope with:
//
//   #kte record path=a|>b depth=1 virus=V alert=A warning_id=5 warning_str=W detection=V,algo,aux,2,3
//                                 one progress message with that record (every key optional,
//                                 "detection" repeatable, "path" with "|>" between members)
//   #kte records N                N progress messages, each with the record "item<i>" / "Rec.<i>"
//   #kte empty-progress           one progress message without a record
//   #kte detections N             one progress message whose record (virus "V") lists N empty
//                                 detections, 2 bytes each on the wire
//   #kte long-records N BYTES     N progress messages, each a record whose path is BYTES long
//   #kte error CODE TEXT...       final response carrying error_message TEXT and error_code CODE
//   #kte error-empty              final response with an empty error_message and no error_code
//   #kte bad-response             final response whose payload does not parse
//   #kte bad-progress             progress message whose payload does not parse
//   #kte no-version               final response without scan_result
//   #kte version TEXT             definitions version of the final response
//   #kte echo-correlation         the request's correlation id as the definitions version
//   #kte wrong-opcode             a progress frame of another opcode (to be skipped)
//   #kte wrong-type               a frame of the message type KT_MESSAGE (to be skipped)
//   #kte bad-magic                a frame with a wrong magic, then nothing more for the request
//   #kte bad-envelope             a frame whose envelope does not parse, then nothing more
//   #kte huge-frame               a frame header declaring 256 MiB, then nothing more
//   #kte split                    every frame of the answer goes out one byte at a time
//   #kte coalesce                 the whole answer goes out in one write
//   #kte delay MS                 wait MS milliseconds before the final response
//   #kte close                    close the connection instead of answering
//   #kte close-after              answer, then close the connection
//   #kte duplicate MS             the final response once more, MS milliseconds after it
//   #kte other-id                 every frame of the answer names another request ("other") as
//                                 its correlation id
//   #kte reset-next MS            the next request on this connection is read up to its
//                                 descriptor; MS milliseconds later the connection is closed with
//                                 that unread (the service meets a reset)
//   #kte hang                     never answer (until the peer closes)
//
// Steps are carried out in the order in which they appear in the data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scan.pb.h"

namespace kte {

// The 68-byte antivirus test string.
const std::string& test_string();
inline constexpr const char* kTestVirus = "Test-String";

enum class StepKind {
  RECORD,          // progress message carrying `record`
  EMPTY_PROGRESS,  // progress message without a record
  DETECTIONS,      // progress message whose record has `number` empty detections
  LONG_RECORD,     // progress message whose record's path is `number` bytes long
  WRONG_OPCODE,
  WRONG_TYPE,
  BAD_PROGRESS,
  DELAY,  // `number` milliseconds
  // Terminal steps: the request gets nothing after them.
  BAD_MAGIC,
  BAD_ENVELOPE,
  HUGE_FRAME,
  CLOSE,
  HANG,
};

struct Step {
  StepKind kind;
  KtScanRecord record;
  uint32_t number = 0;
};

enum class Final { RESULT, ERROR, ERROR_EMPTY, BAD_RESPONSE, NO_VERSION };

struct Plan {
  std::vector<Step> steps;
  Final final = Final::RESULT;
  int error_code = 0;
  std::string error_message;
  std::string version;
  bool split = false;
  bool coalesce = false;
  bool echo_correlation = false;
  bool close_after = false;
  int duplicate_after = -1;  // milliseconds; -1: no duplicate
  bool other_id = false;
  int reset_next = -1;  // milliseconds; -1: the next request is served
  uint64_t scanned = 0;  // bytes read
};

// Reads `fd` from offset 0 to its end in chunks (the size is never trusted) and builds the
// plan. `name` is the path of the object in the records. Returns false with errno on a read error.
bool scan_descriptor(int fd, const std::string& name, const std::string& version, Plan& plan);

// Applies one directive line (without its line feed); unknown directives are ignored.
void apply_directive(const std::string& line, Plan& plan);

}  // namespace kte
