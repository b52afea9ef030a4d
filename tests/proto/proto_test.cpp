#include "proto/msg_wire.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common.pb.h"
#include "engine.pb.h"
#include "msg.pb.h"
#include "scan.pb.h"

namespace {

using ktu::msg_wire::msg_store_payload;
using ktu::msg_wire::msg_wire_read;
using ktu::msg_wire::msg_wire_size;
using ktu::msg_wire::msg_wire_write;
using ktu::msg_wire::ReadStatus;

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string string_of(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes serialize(const google::protobuf::MessageLite& m) { return bytes_of(m.SerializeAsString()); }

Bytes frame(const KtMsgBase& envelope) {
  Bytes out(msg_wire_size(envelope));
  EXPECT_EQ(msg_wire_write(envelope, out.data()), out.size());
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The envelope of a scan request with a passed descriptor, framed exactly as the engine expects it.
TEST(MsgWire, FramesTheEnvelopeByteForByte) {
  KtMsgBase envelope;
  envelope.set_type(KT_REQUEST);
  envelope.set_opcode(KT_REQ_ENGINE_SCAN);
  envelope.set_correlation_id("abc");
  envelope.set_fd_count(1);

  const Bytes expected = {0xAA, 0xBB, 0xCC, 0xDD, 0x00, 0x00, 0x00, 0x0D, 0x08, 0x02, 0x10,
                          0x82, 0x04, 0x5A, 0x03, 0x61, 0x62, 0x63, 0xA8, 0x1F, 0x01};
  EXPECT_EQ(msg_wire_size(envelope), 21u);
  EXPECT_EQ(frame(envelope), expected);

  KtMsgBase empty;
  EXPECT_EQ(frame(empty), (Bytes{0xAA, 0xBB, 0xCC, 0xDD, 0, 0, 0, 0}));

  // The two-byte tags of the high field numbers, in field-number order.
  KtMsgBase high;
  high.set_payload("P");
  high.set_fd_count(2);
  high.set_timestamp(1);
  high.set_trace_context("T");
  EXPECT_EQ(serialize(high), (Bytes{0xA2, 0x1F, 0x01, 'P', 0xA8, 0x1F, 0x02, 0xB1, 0x1F, 1, 0, 0, 0,
                                    0, 0, 0, 0, 0xBA, 0x1F, 0x01, 'T'}));

  KtMsgBase back;
  auto [status, size] = msg_wire_read(back, expected.data(), expected.size());
  EXPECT_EQ(status, ReadStatus::OK);
  EXPECT_EQ(size, 21u);
  EXPECT_EQ(back.type(), KT_REQUEST);
  EXPECT_EQ(back.opcode(), KT_REQ_ENGINE_SCAN);
  EXPECT_EQ(back.correlation_id(), "abc");
  EXPECT_TRUE(back.has_fd_count());
  EXPECT_FALSE(back.has_payload());
}

TEST(MsgWire, ReadReportsEveryOutcomeWithItsSize) {
  const Bytes magic = {0xAA, 0xBB, 0xCC, 0xDD};
  auto header = [&](std::uint32_t n) {
    return concat(magic, Bytes{std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8),
                               std::uint8_t(n)});
  };
  // A valid 100-byte envelope body: field 5 (error_message) holding 98 bytes.
  Bytes body100 = {0x2A, 98};
  body100.resize(100, 'x');
  const Bytes next_frame = {0xAA, 0xBB};

  struct Case {
    const char* what;
    Bytes input;
    ReadStatus status;
    std::size_t size;
  };
  const std::vector<Case> cases = {
      {"nothing", {}, ReadStatus::INCOMPLETE, 8},
      {"part of the magic", {0xAA, 0xBB}, ReadStatus::INCOMPLETE, 8},
      {"seven bytes of garbage", {1, 2, 3, 4, 5, 6, 7}, ReadStatus::INCOMPLETE, 8},
      {"seven bytes, magic and length start", concat(magic, {0, 0, 0}), ReadStatus::INCOMPLETE, 8},
      {"wrong magic", {1, 2, 3, 4, 0, 0, 0, 0}, ReadStatus::BAD_MAGIC, 0},
      {"magic written big-endian", {0xDD, 0xCC, 0xBB, 0xAA, 0, 0, 0, 0}, ReadStatus::BAD_MAGIC, 0},
      {"empty envelope", header(0), ReadStatus::OK, 8},
      {"half of the body", concat(header(100), Bytes(body100.begin(), body100.begin() + 50)),
       ReadStatus::INCOMPLETE, 108},
      {"body lacks one byte", concat(header(100), Bytes(body100.begin(), body100.end() - 1)),
       ReadStatus::INCOMPLETE, 108},
      {"whole body", concat(header(100), body100), ReadStatus::OK, 108},
      {"whole body and the next frame", concat(concat(header(100), body100), next_frame),
       ReadStatus::OK, 108},
      {"truncated varint", concat(header(2), {0x08, 0x80}), ReadStatus::PARSE_FAILED, 10},
      {"string longer than the body", concat(header(3), {0x2A, 0x05, 'a'}), ReadStatus::PARSE_FAILED, 11},
      {"end-group without start", concat(header(1), {0x0C}), ReadStatus::PARSE_FAILED, 9},
      {"largest length, size computed without wrapping", header(0xFFFFFFFF), ReadStatus::INCOMPLETE,
       std::size_t{0xFFFFFFFF} + 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    KtMsgBase envelope;
    // Heap copy of exactly the given size: the sanitizer build catches a read beyond it.
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[c.input.size()]);
    std::copy(c.input.begin(), c.input.end(), data.get());
    auto [status, size] = msg_wire_read(envelope, data.get(), c.input.size());
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(size, c.size);
  }

  // An empty envelope reads its defaults; a parsed frame replaces what the envelope held.
  KtMsgBase envelope;
  envelope.set_error_code(7);
  const Bytes empty = header(0);
  ASSERT_EQ(msg_wire_read(envelope, empty.data(), empty.size()).first, ReadStatus::OK);
  EXPECT_EQ(envelope.type(), KT_NOTIFICATION);
  EXPECT_EQ(envelope.opcode(), KT_OPCODE_UNKNOWN);
  EXPECT_FALSE(envelope.has_error_code());
}

// A receive buffer holding several frames back to back is consumed frame by frame.
TEST(MsgWire, ConsecutiveFramesReadOneAtATime) {
  Bytes stream;
  for (int i = 0; i < 3; ++i) {
    KtMsgBase e;
    e.set_type(i == 2 ? KT_RESPONSE : KT_PROGRESS);
    e.set_opcode(KT_REQ_ENGINE_SCAN);
    e.set_correlation_id(std::string(std::size_t(i) * 100, 'c'));
    stream = concat(stream, frame(e));
  }
  std::size_t pos = 0;
  std::vector<std::size_t> lengths;
  while (pos < stream.size()) {
    KtMsgBase e;
    auto [status, size] = msg_wire_read(e, stream.data() + pos, stream.size() - pos);
    ASSERT_EQ(status, ReadStatus::OK);
    lengths.push_back(e.correlation_id().size());
    pos += size;
  }
  EXPECT_EQ(lengths, (std::vector<std::size_t>{0, 100, 200}));
}

TEST(MsgWire, StorePayloadReplacesThePayloadExactly) {
  KtMsgBase envelope;
  envelope.set_payload(std::string(500, 'z'));
  KtEngineScanRequest request;
  request.mutable_scan_params()->set_fd_index(0);
  ASSERT_TRUE(msg_store_payload(envelope, request));
  EXPECT_EQ(bytes_of(envelope.payload()), (Bytes{0x0A, 0x02, 0x10, 0x00}));

  // An empty message still marks the payload present.
  KtMsgBase fresh;
  ASSERT_TRUE(msg_store_payload(fresh, KtEngineScanRequest()));
  EXPECT_TRUE(fresh.has_payload());
  EXPECT_EQ(fresh.payload(), "");
}

// Closed enums: an undeclared value parses, reads as the default and is written back after the
// known fields.
TEST(Schemas, UndeclaredEnumValuesAreKeptAsUnknownFields) {
  struct Case {
    const char* what;
    Bytes input;
    std::function<void(const Bytes&)> check;
  };
  auto reserialized = [](google::protobuf::MessageLite& m, const Bytes& in) {
    EXPECT_TRUE(m.ParseFromString(string_of(in)));
    return serialize(m);
  };
  const std::vector<Case> cases = {
      {"envelope type 9",
       {0x08, 0x09, 0x5A, 0x01, 'x'},
       [&](const Bytes& in) {
         KtMsgBase e;
         EXPECT_EQ(reserialized(e, in), (Bytes{0x5A, 0x01, 'x', 0x08, 0x09}));
         EXPECT_FALSE(e.has_type());
         EXPECT_EQ(e.type(), KT_NOTIFICATION);
       }},
      {"envelope opcode 999",
       {0x08, 0x04, 0x10, 0xE7, 0x07},
       [&](const Bytes& in) {
         KtMsgBase e;
         EXPECT_EQ(reserialized(e, in), (Bytes{0x08, 0x04, 0x10, 0xE7, 0x07}));
         EXPECT_FALSE(e.has_opcode());
         EXPECT_EQ(e.opcode(), KT_OPCODE_UNKNOWN);
         EXPECT_EQ(e.type(), KT_PROGRESS);
       }},
      {"record resolution 7",
       {0xF0, 0x01, 0x07, 0x12, 0x01, 'p'},
       [&](const Bytes& in) {
         KtScanRecord r;
         EXPECT_EQ(reserialized(r, in), (Bytes{0x12, 0x01, 'p', 0xF0, 0x01, 0x07}));
         EXPECT_FALSE(r.has_resolution());
         EXPECT_EQ(r.resolution(), KtScanRecord::RESOLUTION_NONE);
       }},
      {"trigger 7 and provider 4",
       {0x68, 0x07, 0x70, 0x04, 0x60, 0x01},
       [&](const Bytes& in) {
         KtEngineScanParameters p;
         EXPECT_EQ(reserialized(p, in), (Bytes{0x60, 0x01, 0x68, 0x07, 0x70, 0x04}));
         EXPECT_FALSE(p.has_trigger());
         EXPECT_FALSE(p.has_provider());
         EXPECT_EQ(p.trigger(), SCAN_TRIGGER_NONE);
         EXPECT_EQ(p.provider(), SCAN_PROVIDER_UNKNOWN);
       }},
      {"declared trigger and provider",
       {0x68, 0x06, 0x70, 0x03},
       [&](const Bytes& in) {
         KtEngineScanParameters p;
         EXPECT_EQ(reserialized(p, in), in);
         EXPECT_EQ(p.trigger(), SCAN_TRIGGER_DOWNLOAD_PROTECTION);
         EXPECT_EQ(p.provider(), SCAN_PROVIDER_MAILGUARD);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.check(c.input);
  }
}

TEST(Schemas, ScanRecordByteForByte) {
  KtScanRecord record;
  record.set_path("f|>m");
  record.set_depth(1);
  record.set_virus("V");
  auto* detection = record.add_detections();
  detection->set_virus("V");
  detection->set_severity_id(2);
  detection->set_type_id(3);
  record.set_warning_id(5);

  const Bytes expected = {0x12, 0x04, 0x66, 0x7C, 0x3E, 0x6D, 0x18, 0x01, 0x52, 0x01, 0x56, 0x62,
                          0x07, 0x0A, 0x01, 0x56, 0x30, 0x02, 0x38, 0x03, 0xA0, 0x01, 0x05};
  EXPECT_EQ(serialize(record), expected);
  EXPECT_EQ(serialize(*detection), (Bytes{0x0A, 0x01, 0x56, 0x30, 0x02, 0x38, 0x03}));
  EXPECT_EQ(serialize(KtScanRecord()), Bytes{});

  // The remaining named fields with their two-byte tags.
  KtScanRecord more;
  more.set_warning_str("w");
  more.set_resolution(KtScanRecord::RESOLUTION_DELETED);
  more.set_alert_id("a");
  EXPECT_EQ(serialize(more), (Bytes{0x6A, 0x01, 'a', 0xAA, 0x01, 0x01, 'w', 0xF0, 0x01, 0x02}));

  KtScanRecord back;
  ASSERT_TRUE(back.ParseFromString(string_of(expected)));
  EXPECT_EQ(back.path(), "f|>m");
  EXPECT_EQ(back.depth(), 1u);
  ASSERT_EQ(back.detections_size(), 1);
  EXPECT_EQ(back.detections(0).type_id(), 3u);
  EXPECT_TRUE(back.has_warning_id());
  EXPECT_FALSE(back.has_warning_str());

  // An empty virus that was sent is present; fields 2 and 3 of a detection are unknown there.
  KtScanRecord empty_virus;
  ASSERT_TRUE(empty_virus.ParseFromString(string_of({0x52, 0x00, 0x62, 0x03, 0x12, 0x01, 'q'})));
  EXPECT_TRUE(empty_virus.has_virus());
  EXPECT_FALSE(empty_virus.detections(0).has_virus());
  EXPECT_EQ(serialize(empty_virus), (Bytes{0x52, 0x00, 0x62, 0x03, 0x12, 0x01, 'q'}));

  // Moving leaves the source empty; copies are independent.
  std::vector<KtScanRecord> list;
  list.push_back(std::move(back));
  EXPECT_EQ(serialize(back), Bytes{});
  auto copy = list;
  copy[0].set_path("other");
  EXPECT_EQ(list[0].path(), "f|>m");
}

TEST(Schemas, ScanRequestByteForByte) {
  KtEngineScanRequest request;
  request.mutable_scan_params()->set_fd_index(0);
  auto* config = request.mutable_configuration();
  config->set_full_files(false);
  config->set_pup(false);
  config->set_heuristics(80);
  config->set_archives(true);
  EXPECT_EQ(serialize(request), (Bytes{0x0A, 0x02, 0x10, 0x00, 0x92, 0x03, 0x0C, 0xA0, 0x01, 0x00,
                                       0xF0, 0x01, 0x00, 0xC0, 0x02, 0x50, 0x90, 0x03, 0x01}));

  // fd_index 0 is on the wire; an absent one is not.
  KtEngineScanRequest no_fd;
  no_fd.mutable_scan_params();
  EXPECT_EQ(serialize(no_fd), (Bytes{0x0A, 0x00}));
  EXPECT_FALSE(no_fd.scan_params().has_fd_index());

  KtEngineScanParameters named;
  named.set_path("/p");
  named.set_caller_context(true);
  named.set_filename("f");
  EXPECT_EQ(serialize(named), (Bytes{0x0A, 0x02, '/', 'p', 0x60, 0x01, 0x8A, 0x01, 0x01, 'f'}));
}

TEST(Schemas, ArchivesReadsTrueUntilSetOtherwise) {
  KtEngineScanConfiguration config;
  EXPECT_TRUE(config.archives());
  EXPECT_FALSE(config.has_archives());
  EXPECT_EQ(serialize(config), Bytes{});

  config.set_archives(false);
  EXPECT_EQ(serialize(config), (Bytes{0x90, 0x03, 0x00}));
  config.Clear();
  EXPECT_TRUE(config.archives());

  KtEngineScanConfiguration parsed;
  ASSERT_TRUE(parsed.ParseFromString(string_of({0xA0, 0x01, 0x01})));
  EXPECT_TRUE(parsed.archives());
  EXPECT_TRUE(KtEngineScanRequest().configuration().archives());

  // Merging appends the exclusions and overwrites what the source carries.
  KtEngineScanConfiguration a, b;
  a.add_exclusions("x");
  a.set_heuristics(10);
  b.add_exclusions("y");
  b.set_archives(false);
  a.MergeFrom(b);
  EXPECT_EQ(a.exclusions_size(), 2);
  EXPECT_EQ(a.heuristics(), 10);
  EXPECT_FALSE(a.archives());
}

TEST(Schemas, RepliesReadEmptyWhereTheEngineSentNothing) {
  struct Case {
    const char* what;
    Bytes progress;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"no field", {}, ""},
      {"only url_infection", {0x12, 0x05, 0x0A, 0x01, 'u', 0x10, 0x01}, ""},
      {"only file_scan_finished", {0x1A, 0x02, 0x10, 0x01}, ""},
      {"a record", {0x0A, 0x03, 0x12, 0x01, 'r'}, "r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    KtEngineScanProgress progress;
    ASSERT_TRUE(progress.ParseFromString(string_of(c.progress)));
    KtScanRecord record(std::move(*progress.mutable_record()));
    EXPECT_EQ(record.path(), c.path);
  }

  KtEngineScanResponse response;
  ASSERT_TRUE(response.ParseFromString(""));
  EXPECT_EQ(response.scan_result().version_info().version(), "");
  ASSERT_TRUE(response.ParseFromString(string_of({0x0A, 0x05, 0x12, 0x03, 0x0A, 0x01, '9'})));
  EXPECT_EQ(response.scan_result().version_info().version(), "9");

  // A progress record that is not a valid message makes the whole progress message fail.
  EXPECT_FALSE(KtEngineScanProgress().ParseFromString(string_of({0x0A, 0x02, 0x12, 0x05})));
}

// Whole exchange: a framed progress with its record and a framed final response.
TEST(Schemas, FramedRepliesCarryTheirPayloads) {
  KtEngineScanProgress progress;
  progress.mutable_record()->set_path("a|>b");
  progress.mutable_record()->set_depth(1);
  progress.mutable_record()->set_virus("EICAR");
  KtMsgBase envelope;
  envelope.set_type(KT_PROGRESS);
  envelope.set_opcode(KT_REQ_ENGINE_SCAN);
  ASSERT_TRUE(msg_store_payload(envelope, progress));
  const Bytes wire = frame(envelope);

  KtMsgBase received;
  ASSERT_EQ(msg_wire_read(received, wire.data(), wire.size()),
            std::make_pair(ReadStatus::OK, wire.size()));
  KtEngineScanProgress parsed;
  ASSERT_TRUE(parsed.ParseFromString(received.payload()));
  EXPECT_EQ(parsed.record().virus(), "EICAR");
  EXPECT_EQ(parsed.record().depth(), 1u);
}

// ---- Every message type against its wire layout ----
//
// Each layout lists the fields as "number:kind"; kinds: i32, i64, u32 (varints), b (bool),
// s (string or bytes), f64 (fixed 64-bit), eN (enum whose highest value is N), m:Type (message);
// a leading * marks a repeated field. From a layout the test builds a fully populated message
// twice: once as a sender might write it (fields in reverse order, repeated numbers packed, an
// undeclared field first) and once as this side must write it (field-number order, unpacked,
// the undeclared field last). A field the schema lacks, or declares with another wire type,
// signedness or enum range, stays with the unknown fields and breaks the expected order.

struct Layout {
  std::function<std::unique_ptr<google::protobuf::MessageLite>()> make;
  const char* fields;
};

template <class T>
std::function<std::unique_ptr<google::protobuf::MessageLite>()> maker() {
  return [] { return std::make_unique<T>(); };
}

const std::map<std::string, Layout>& layouts() {
  static const std::map<std::string, Layout> table = {
      // msg.proto
      {"KtMsgBase",
       {maker<KtMsgBase>(), "1:e5 2:e514 4:f64 5:s 6:i32 10:u32 11:s 500:s 501:i32 502:f64 503:s"}},
      // scan.proto
      {"KtScanRecord",
       {maker<KtScanRecord>(),
        "1:i64 2:s 3:u32 4:i32 7:i64 8:i64 9:i32 10:s 11:b 12:*m:KtScanRecord.VirusInfo 13:s 20:u32 "
        "21:s 30:e2 31:i32 32:s 40:i64 41:b"}},
      {"KtScanRecord.VirusInfo", {maker<KtScanRecord_VirusInfo>(), "1:s 4:s 5:s 6:u32 7:u32"}},
      {"KtScanParams",
       {maker<KtScanParams>(),
        "1:*s 2:e7 3:e2 4:*s 5:*s 7:i64 10:b 11:b 12:b 13:b 18:b 20:b 30:b 31:b 40:i32 50:b 60:b "
        "61:b 62:b 70:b 80:e2 82:b 83:b"}},
      {"KtScanInfoStatistics",
       {maker<KtScanInfoStatistics>(),
        "1:i64 2:i64 3:i64 4:i64 5:i64 6:i64 7:i64 8:i64 9:i64 10:i64 11:i64"}},
      {"KtScanInfo",
       {maker<KtScanInfo>(),
        "1:i64 2:e3 3:i64 4:i64 5:u32 6:u32 7:i64 8:s 10:i64 11:i64 12:i64 15:i32 "
        "16:m:KtScanInfoStatistics"}},
      {"KtScanRequest", {maker<KtScanRequest>(), "1:m:KtScanParams"}},
      {"KtScanResponse", {maker<KtScanResponse>(), "1:m:KtScanParams 3:m:KtScanInfo"}},
      {"KtScanProgress",
       {maker<KtScanProgress>(), "1:i64 2:*m:KtScanRecord 3:m:KtScanInfo 4:m:KtScanParams"}},
      {"KtScanNotification",
       {maker<KtScanNotification>(), "1:e5 3:m:KtScanParams 5:m:KtScanInfo 7:s"}},
      {"KtScanAlertNotification", {maker<KtScanAlertNotification>(), "1:i64 2:m:KtScanRecord"}},
      {"KtScanListScanItem", {maker<KtScanListScanItem>(), "3:m:KtScanParams 5:m:KtScanInfo"}},
      {"KtScanListResponse", {maker<KtScanListResponse>(), "1:*m:KtScanListScanItem"}},
      {"KtScanIdRequest", {maker<KtScanIdRequest>(), "1:i64"}},
      {"KtScanChangePriorityRequest", {maker<KtScanChangePriorityRequest>(), "1:i64 2:e2"}},
      {"KtScanReportListRequest", {maker<KtScanReportListRequest>(), "1:b 3:u32 4:u32"}},
      {"KtScanReportListResponse", {maker<KtScanReportListResponse>(), "1:*m:KtScanResponse"}},
      {"KtScanReportUpdateRequest", {maker<KtScanReportUpdateRequest>(), "1:i64 2:*m:KtScanRecord"}},
      {"KtScanReportActionRequest", {maker<KtScanReportActionRequest>(), "1:i64 2:*m:KtScanRecord"}},
      {"KtScanReportActionProgress", {maker<KtScanReportActionProgress>(), "1:i64 2:*m:KtScanRecord"}},
      {"KtScanParamsConfig",
       {maker<KtScanParamsConfig>(), "4:e3 5:*s 10:b 11:b 12:b 13:b 18:b 20:b 30:b 31:b 50:b 82:b"}},
      {"KtScanParamsConfigGetRequest", {maker<KtScanParamsConfigGetRequest>(), "1:u32"}},
      {"KtScanParamsConfigGetResponse",
       {maker<KtScanParamsConfigGetResponse>(), "2:m:KtScanParamsConfig"}},
      {"KtScanParamsConfigSetRequest",
       {maker<KtScanParamsConfigSetRequest>(), "1:u32 2:m:KtScanParamsConfig"}},
      {"KtScanParamsConfigNotification",
       {maker<KtScanParamsConfigNotification>(),
        "1:m:KtScanParamsConfigNotification.UserConfig 2:m:KtScanParamsConfigNotification.AllConfigs"}},
      {"KtScanParamsConfigNotification.UserConfig",
       {maker<KtScanParamsConfigNotification_UserConfig>(), "1:u32 2:m:KtScanParamsConfig"}},
      {"KtScanParamsConfigNotification.AllConfigs",
       {maker<KtScanParamsConfigNotification_AllConfigs>(),
        "1:m:KtScanParamsConfig 2:*m:KtScanParamsConfigNotification.UserConfig"}},
      // engine.proto
      {"KtEngineScanRequest",
       {maker<KtEngineScanRequest>(), "1:m:KtEngineScanParameters 50:m:KtEngineScanConfiguration"}},
      {"KtEngineScanParameters",
       {maker<KtEngineScanParameters>(),
        "1:s 2:i32 3:m:KtEngineUrlscanParams 4:s 5:s 6:s 7:s 8:s 9:s 10:i32 11:s 12:b 13:e6 14:e3 "
        "15:b 16:s 17:s 18:b 19:i64"}},
      {"KtEngineScanConfiguration", {maker<KtEngineScanConfiguration>(), "20:b 30:b 31:b 40:i32 50:b 60:*s"}},
      {"KtEngineScanProgress",
       {maker<KtEngineScanProgress>(),
        "1:m:KtScanRecord 2:m:KtEngineScanUrlInfection 3:m:KtEngineScanFileScanFinished"}},
      {"KtEngineScanResponse", {maker<KtEngineScanResponse>(), "1:m:KtEngineScanResult"}},
      {"KtEngineScanResult",
       {maker<KtEngineScanResult>(), "1:m:KtEngineUrlscanResponse 2:m:KtVpsVersionInfo 4:s"}},
      {"KtVpsVersionInfo", {maker<KtVpsVersionInfo>(), "1:s"}},
      {"KtEngineScanFileScanFinished", {maker<KtEngineScanFileScanFinished>(), "1:m:KtEngineScanResult 2:b"}},
      {"KtEngineScanUrlInfection", {maker<KtEngineScanUrlInfection>(), "1:s 2:b 3:m:KtScanRecord 4:b"}},
      {"KtEngineUrlscanParams",
       {maker<KtEngineUrlscanParams>(),
        "1:i64 2:i64 3:m:KtEngineUrlscanConnectionInfo 4:m:KtEngineUrlscanRequestInfo "
        "5:m:KtEngineUrlscanResponseInfo 6:m:KtEngineUrlscanDataInfo 7:b"}},
      {"KtEngineUrlscanConnectionInfo",
       {maker<KtEngineUrlscanConnectionInfo>(), "1:i32 2:s 3:s 4:i32 5:s 6:i32 7:s"}},
      {"KtEngineUrlscanRequestInfo",
       {maker<KtEngineUrlscanRequestInfo>(), "1:s 2:s 3:s 4:m:KtEngineUrlscanContentInfo 6:s 7:s 8:s"}},
      {"KtEngineUrlscanResponseInfo",
       {maker<KtEngineUrlscanResponseInfo>(), "1:i32 2:s 3:m:KtEngineUrlscanContentInfo 4:s"}},
      {"KtEngineUrlscanContentInfo",
       {maker<KtEngineUrlscanContentInfo>(), "1:e6 2:e3 3:*m:KtEngineUrlscanHttpHeader 4:i64"}},
      {"KtEngineUrlscanHttpHeader", {maker<KtEngineUrlscanHttpHeader>(), "1:s 2:s"}},
      {"KtEngineUrlscanDataInfo",
       {maker<KtEngineUrlscanDataInfo>(), "1:i32 2:b 3:b 4:m:KtEngineUrlscanHashes 5:s"}},
      {"KtEngineUrlscanHashes", {maker<KtEngineUrlscanHashes>(), "1:s 2:s"}},
      {"KtEngineUrlscanResponse", {maker<KtEngineUrlscanResponse>(), "1:e3 2:i64 3:e5 4:i64 5:b 6:i32"}},
      {"KtEngineUrlscanCleanupMessage", {maker<KtEngineUrlscanCleanupMessage>(), "1:*i64"}},
      {"KtEngineUrlInfoRequest",
       {maker<KtEngineUrlInfoRequest>(), "1:s 2:s 3:s 4:s 5:s 6:i32 7:e101 8:i32 9:s 10:s"}},
      {"KtEngineUrlInfoResponse", {maker<KtEngineUrlInfoResponse>(), "1:e5 2:s 3:s"}},
      {"KtEngineScanSetConfigurationRequest",
       {maker<KtEngineScanSetConfigurationRequest>(), "1:e2 2:u32 50:m:KtEngineScanConfiguration"}},
  };
  return table;
}

void put_varint(Bytes& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

void put_tag(Bytes& out, int number, int wire_type) {
  put_varint(out, (static_cast<std::uint64_t>(number) << 3) | static_cast<std::uint64_t>(wire_type));
}

void put_delimited(Bytes& out, int number, const Bytes& content) {
  put_tag(out, number, 2);
  put_varint(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
}

// A field number no message declares; written as a varint 0.
constexpr int kUndeclared = 536870911;

// The layout's message, fully populated: as a peer may send it (sender_form) or as it must come
// back after a parse (canonical).
Bytes populated(const std::string& type, bool sender_form) {
  struct Field {
    int number;
    bool repeated;
    std::string kind;
  };
  std::vector<Field> fields;
  std::istringstream in(layouts().at(type).fields);
  for (std::string item; in >> item;) {
    const auto colon = item.find(':');
    Field f{std::stoi(item.substr(0, colon)), false, item.substr(colon + 1)};
    if (f.kind[0] == '*') {
      f.repeated = true;
      f.kind.erase(0, 1);
    }
    fields.push_back(f);
  }
  if (sender_form) {
    std::reverse(fields.begin(), fields.end());
  }

  Bytes out;
  auto undeclared = [&] {
    put_tag(out, kUndeclared, 0);
    put_varint(out, 0);
  };
  if (sender_form) {
    undeclared();
  }
  for (const auto& f : fields) {
    const int count = f.repeated ? 2 : 1;
    if (f.kind.rfind("m:", 0) == 0) {
      for (int i = 0; i < count; ++i) {
        put_delimited(out, f.number, populated(f.kind.substr(2), sender_form));
      }
    } else if (f.kind == "s") {
      for (int i = 0; i < count; ++i) {
        const std::string text = "s" + std::to_string(f.number) + "." + std::to_string(i);
        put_delimited(out, f.number, Bytes(text.begin(), text.end()));
      }
    } else if (f.kind == "f64") {
      put_tag(out, f.number, 1);
      for (std::uint8_t b = 1; b <= 8; ++b) {
        out.push_back(b);
      }
    } else {
      // Varint kinds: the value that tells signedness and range apart.
      std::uint64_t value = 0;
      if (f.kind == "i32" || f.kind == "i64") {
        value = ~std::uint64_t{0};  // -1, sign-extended to ten bytes
      } else if (f.kind == "u32") {
        value = 0xFFFFFFFFu;
      } else if (f.kind == "b") {
        value = 1;
      } else if (f.kind[0] == 'e') {
        value = std::stoull(f.kind.substr(1));
      } else {
        ADD_FAILURE() << "unknown kind " << f.kind << " in " << type;
      }
      if (f.repeated && sender_form) {
        Bytes packed;
        put_varint(packed, value);
        put_varint(packed, 1);
        put_delimited(out, f.number, packed);
      } else {
        for (int i = 0; i < count; ++i) {
          put_tag(out, f.number, 0);
          put_varint(out, i == 0 ? value : 1);
        }
      }
    }
  }
  if (!sender_form) {
    undeclared();
  }
  return out;
}

// Message type names declared by the schema files, nested ones dotted.
std::set<std::string> declared_message_types() {
  std::set<std::string> names;
  for (const char* file : {"msg.proto", "msgtype.proto", "msgopcode.proto", "engine.proto", "scan.proto",
                           "common.proto"}) {
    std::ifstream in(std::string(KELTO_SOURCE_DIR) + "/proto/" + file);
    EXPECT_TRUE(in) << file;
    std::vector<std::string> scope;  // "" for a block that is not a message
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::string first, name;
      words >> first >> name;
      if (line.find('{') != std::string::npos) {
        if (first == "message") {
          std::string full;
          for (const auto& s : scope) {
            full += s.empty() ? "" : s + ".";
          }
          names.insert(full + name);
          scope.push_back(name);
        } else {
          scope.push_back("");
        }
      }
      if (line.find('}') != std::string::npos && !scope.empty()) {
        scope.pop_back();
      }
    }
  }
  return names;
}

TEST(Schemas, EveryMessageTypeRoundTripsEmptyAndFullyPopulated) {
  std::set<std::string> listed;
  for (const auto& [name, layout] : layouts()) {
    listed.insert(name);
  }
  EXPECT_EQ(declared_message_types(), listed);

  for (const auto& [name, layout] : layouts()) {
    SCOPED_TRACE(name);
    auto message = layout.make();
    EXPECT_EQ(message->GetTypeName(), name);
    EXPECT_EQ(serialize(*message), Bytes{});
    ASSERT_TRUE(message->ParseFromString(""));
    EXPECT_EQ(serialize(*message), Bytes{});

    const Bytes canonical = populated(name, false);
    ASSERT_TRUE(message->ParseFromString(string_of(populated(name, true))));
    EXPECT_EQ(serialize(*message), canonical);
    EXPECT_EQ(message->ByteSizeLong(), canonical.size());

    std::unique_ptr<google::protobuf::MessageLite> copy(message->New());
    copy->CheckTypeAndMergeFrom(*message);
    EXPECT_EQ(serialize(*copy), canonical);

    message->Clear();
    EXPECT_EQ(serialize(*message), Bytes{});
    EXPECT_EQ(serialize(*copy), canonical);
  }
}

// An enum value followed by a higher-numbered known field: an accepted value stays in front, a
// refused one moves behind the known fields with the unknown ones.
TEST(Schemas, ClosedEnumsOfTheWholeSchemaAcceptExactlyTheirValues) {
  struct Case {
    const char* what;
    std::function<std::unique_ptr<google::protobuf::MessageLite>()> make;
    Bytes enum_field;
    Bytes later_field;
    bool accepted;
  };
  const Bytes url_field8 = {0x40, 0x01};
  const Bytes content_field4 = {0x20, 0x01};
  const Bytes params_field50 = {0x90, 0x03, 0x01};
  const Bytes notification_field7 = {0x3A, 0x00};
  const Bytes info_field3 = {0x18, 0x01};
  const Bytes config_field5 = {0x2A, 0x00};
  const Bytes setconf_field2 = {0x10, 0x01};
  const std::vector<Case> cases = {
      {"notify reason 11", maker<KtEngineUrlInfoRequest>(), {0x38, 11}, url_field8, true},
      {"notify reason 12", maker<KtEngineUrlInfoRequest>(), {0x38, 12}, url_field8, false},
      {"notify reason 99", maker<KtEngineUrlInfoRequest>(), {0x38, 99}, url_field8, false},
      {"notify reason 100", maker<KtEngineUrlInfoRequest>(), {0x38, 100}, url_field8, true},
      {"notify reason 101", maker<KtEngineUrlInfoRequest>(), {0x38, 101}, url_field8, true},
      {"notify reason 102", maker<KtEngineUrlInfoRequest>(), {0x38, 102}, url_field8, false},
      {"protocol 4", maker<KtEngineUrlscanContentInfo>(), {0x08, 4}, content_field4, true},
      {"protocol 5", maker<KtEngineUrlscanContentInfo>(), {0x08, 5}, content_field4, false},
      {"protocol 6", maker<KtEngineUrlscanContentInfo>(), {0x08, 6}, content_field4, true},
      {"protocol 7", maker<KtEngineUrlscanContentInfo>(), {0x08, 7}, content_field4, false},
      {"length type 4", maker<KtEngineUrlscanContentInfo>(), {0x10, 4}, content_field4, false},
      {"priority 3 of a configuration request", maker<KtEngineScanSetConfigurationRequest>(),
       {0x08, 3}, setconf_field2, false},
      {"scan mode 0", maker<KtScanParams>(), {0x18, 0}, params_field50, false},
      {"scan mode 2", maker<KtScanParams>(), {0x18, 2}, params_field50, true},
      {"scan mode 3", maker<KtScanParams>(), {0x18, 3}, params_field50, false},
      {"scan label 7", maker<KtScanParams>(), {0x10, 7}, params_field50, true},
      {"scan label 8", maker<KtScanParams>(), {0x10, 8}, params_field50, false},
      {"scan priority 3", maker<KtScanParams>(), {0x80, 0x05, 3}, {0x90, 0x05, 0x01}, false},
      {"scan event 0", maker<KtScanNotification>(), {0x08, 0}, notification_field7, false},
      {"scan event 5", maker<KtScanNotification>(), {0x08, 5}, notification_field7, true},
      {"scan event 6", maker<KtScanNotification>(), {0x08, 6}, notification_field7, false},
      {"scan state 3", maker<KtScanInfo>(), {0x10, 3}, info_field3, true},
      {"scan state 4", maker<KtScanInfo>(), {0x10, 4}, info_field3, false},
      {"list opcode 3", maker<KtScanParamsConfig>(), {0x20, 3}, config_field5, true},
      {"list opcode 4", maker<KtScanParamsConfig>(), {0x20, 4}, config_field5, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto message = c.make();
    ASSERT_TRUE(message->ParseFromString(string_of(concat(c.enum_field, c.later_field))));
    EXPECT_EQ(serialize(*message), c.accepted ? concat(c.enum_field, c.later_field)
                                              : concat(c.later_field, c.enum_field));
  }

  // Refused values read as the field's default, which is not always 0.
  KtEngineUrlInfoRequest info;
  ASSERT_TRUE(info.ParseFromString(string_of({0x38, 12})));
  EXPECT_FALSE(info.has_reason());
  EXPECT_EQ(info.reason(), UNR_REQUEST);
  KtScanParams params;
  ASSERT_TRUE(params.ParseFromString(string_of({0x18, 0x00})));
  EXPECT_EQ(params.mode(), KT_SCAN_MODE_NORMAL);
  KtScanNotification notification;
  ASSERT_TRUE(notification.ParseFromString(string_of({0x08, 0x00})));
  EXPECT_EQ(notification.event(), KT_SCAN_EVENT_STARTED);

  // The last field of its message: presence tells.
  KtScanChangePriorityRequest priority;
  ASSERT_TRUE(priority.ParseFromString(string_of({0x08, 0x01, 0x10, 0x03})));
  EXPECT_EQ(priority.scan_id(), 1);
  EXPECT_FALSE(priority.has_priority());
  EXPECT_EQ(serialize(priority), (Bytes{0x08, 0x01, 0x10, 0x03}));
}

TEST(Schemas, EnumValueSets) {
  struct Case {
    const char* what;
    bool (*is_valid)(int);
    std::set<int> valid;
  };
  auto range = [](int from, int to, std::set<int> extra = {}) {
    for (int v = from; v <= to; ++v) {
      extra.insert(v);
    }
    return extra;
  };
  const std::vector<Case> cases = {
      {"KtMsgType", KtMsgType_IsValid, range(1, 5)},
      {"KtScanPriority", KtScanPriority_IsValid, range(0, 2)},
      {"KtScanRecord_Resolution", KtScanRecord_Resolution_IsValid, range(0, 2)},
      {"KtEngineScanTrigger", KtEngineScanTrigger_IsValid, range(0, 6)},
      {"KtEngineScanProvider", KtEngineScanProvider_IsValid, range(0, 3)},
      {"KtEngineUrlscanProtocol", KtEngineUrlscanProtocol_IsValid, range(0, 4, {6})},
      {"KtEngineUrlscanLengthType", KtEngineUrlscanLengthType_IsValid, range(0, 3)},
      {"KtEngineUrlscanNextScanOptions", KtEngineUrlscanNextScanOptions_IsValid, range(0, 3)},
      {"KtEngineUrlscanPhishingOptions", KtEngineUrlscanPhishingOptions_IsValid, range(0, 5)},
      {"KtEngineUrlscanHashFlags", KtEngineUrlscanHashFlags_IsValid, range(0, 2)},
      {"KtEngineUrlscanNotifyReason", KtEngineUrlscanNotifyReason_IsValid, range(0, 11, {100, 101})},
      {"KtScanType", KtScanType_IsValid, range(0, 1)},
      {"KtScanLabel", KtScanLabel_IsValid, range(0, 7)},
      {"KtScanMode", KtScanMode_IsValid, range(1, 2)},
      {"KtScanEvent", KtScanEvent_IsValid, range(1, 5)},
      {"KtScanState", KtScanState_IsValid, range(0, 3)},
      {"KtScanSpecialWarningValues", KtScanSpecialWarningValues_IsValid, {1000, 1001}},
      {"KtScanOperationError", KtScanOperationError_IsValid, {1234}},
      {"KtListOpcode", KtListOpcode_IsValid, range(0, 3)},
      {"KtComponentDisabledType", KtComponentDisabledType_IsValid, range(0, 3)},
      {"KtGuardId", KtGuardId_IsValid, range(0, 15, {99})},
      {"KtComponent", KtComponent_IsValid, range(0, 26)},
      {"KtBrowser", KtBrowser_IsValid, range(0, 13)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (int v = -2; v <= 1300; ++v) {
      EXPECT_EQ(c.is_valid(v), c.valid.count(v) == 1) << v;
    }
  }

  // The opcode the service speaks, and the default of an absent one.
  EXPECT_TRUE(KtMsgOpcode_IsValid(514));
  EXPECT_EQ(KtMsgOpcode_Name(KT_REQ_ENGINE_SCAN), "KT_REQ_ENGINE_SCAN");
  EXPECT_EQ(KtMsgBase().opcode(), 0);

  // The engine's whole set of operations: 249 opcodes from 0 to 1004, each with a name of its
  // own that parses back to it.
  std::set<std::string> opcode_names;
  int opcodes = 0, highest = -1;
  for (int v = -2; v <= 70000; ++v) {
    if (!KtMsgOpcode_IsValid(v)) continue;
    ++opcodes;
    highest = v;
    const std::string name = KtMsgOpcode_Name(static_cast<KtMsgOpcode>(v));
    EXPECT_TRUE(opcode_names.insert(name).second) << v << " " << name;
    KtMsgOpcode parsed = KT_OPCODE_UNKNOWN;
    EXPECT_TRUE(KtMsgOpcode_Parse(name, &parsed)) << name;
    EXPECT_EQ(parsed, v) << name;
  }
  EXPECT_EQ(opcodes, 249);
  EXPECT_EQ(highest, 1004);
  EXPECT_TRUE(KtMsgOpcode_IsValid(0));

  // Aliases: the first name is the value's name, both names parse.
  EXPECT_EQ(KtGuardId_Name(KT_GUARD_FILE), "KT_GUARD_FILE");
  KtGuardId guard = KT_GUARD_NONE;
  EXPECT_TRUE(KtGuardId_Parse("GUARD_WEB", &guard));
  EXPECT_EQ(guard, KT_GUARD_WEB);
  EXPECT_TRUE(KtGuardId_Parse("KT_GUARD_ONDEMAND", &guard));
  EXPECT_EQ(guard, 99);
  EXPECT_FALSE(KtGuardId_Parse("KT_GUARD_NOTHING", &guard));
  EXPECT_EQ(guard, 99);
  EXPECT_EQ(KtBrowser_Name(static_cast<KtBrowser>(14)), "");
  EXPECT_EQ(KtScanMode_Name(KT_SCAN_MODE_SMART), "KT_SCAN_MODE_SMART");
}

TEST(Schemas, WiderSchemaByteForByte) {
  auto bytes = [](const google::protobuf::MessageLite& m) { return serialize(m); };

  KtEngineUrlInfoRequest url_info;
  EXPECT_EQ(url_info.reason(), UNR_REQUEST);
  EXPECT_EQ(bytes(url_info), Bytes{});
  url_info.set_reason(UNR_UNKNOWN);
  EXPECT_EQ(bytes(url_info), (Bytes{0x38, 0x00}));
  url_info.Clear();
  EXPECT_EQ(url_info.reason(), UNR_REQUEST);
  EXPECT_FALSE(url_info.has_reason());

  KtEngineUrlscanCleanupMessage cleanup;
  EXPECT_EQ(bytes(cleanup), Bytes{});
  cleanup.add_connection_ids(1);
  cleanup.add_connection_ids(300);
  EXPECT_EQ(bytes(cleanup), (Bytes{0x08, 0x01, 0x08, 0xAC, 0x02}));
  KtEngineUrlscanCleanupMessage packed;
  ASSERT_TRUE(packed.ParseFromString(string_of({0x0A, 0x03, 0x01, 0xAC, 0x02})));
  ASSERT_EQ(packed.connection_ids_size(), 2);
  EXPECT_EQ(packed.connection_ids(1), 300);
  EXPECT_EQ(bytes(packed), (Bytes{0x08, 0x01, 0x08, 0xAC, 0x02}));

  KtEngineUrlscanConnectionInfo connection;
  connection.set_address_family(-1);
  EXPECT_EQ(bytes(connection), (Bytes{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));

  KtEngineScanSetConfigurationRequest set_config;
  set_config.set_user_id(4294967295u);
  EXPECT_EQ(bytes(set_config), (Bytes{0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
  set_config.clear_user_id();
  set_config.mutable_configuration();
  EXPECT_EQ(bytes(set_config), (Bytes{0x92, 0x03, 0x00}));
  EXPECT_TRUE(set_config.configuration().archives());

  KtScanParams params;
  EXPECT_EQ(params.mode(), KT_SCAN_MODE_NORMAL);
  EXPECT_TRUE(params.archives());
  EXPECT_FALSE(params.has_mode() || params.has_archives());
  EXPECT_EQ(bytes(params), Bytes{});
  params.set_archives(false);
  params.set_priority(KT_SCAN_PRIORITY_HIGH);
  EXPECT_EQ(bytes(params), (Bytes{0x90, 0x03, 0x00, 0x80, 0x05, 0x02}));
  params.Clear();
  EXPECT_TRUE(params.archives());
  EXPECT_EQ(params.mode(), KT_SCAN_MODE_NORMAL);

  KtScanInfo info;
  info.mutable_statistics();
  EXPECT_EQ(bytes(info), (Bytes{0x82, 0x01, 0x00}));

  KtScanProgress progress;
  for (const char* path : {"c", "a", "b"}) {
    progress.add_records()->set_path(path);
  }
  const Bytes three = {0x12, 0x03, 0x12, 0x01, 'c', 0x12, 0x03, 0x12, 0x01, 'a', 0x12, 0x03, 0x12, 0x01, 'b'};
  EXPECT_EQ(bytes(progress), three);
  KtScanProgress back;
  ASSERT_TRUE(back.ParseFromString(string_of(three)));
  ASSERT_EQ(back.records_size(), 3);
  EXPECT_EQ(back.records(0).path() + back.records(1).path() + back.records(2).path(), "cab");

  KtScanParamsConfig config;
  EXPECT_EQ(bytes(config), Bytes{});
  EXPECT_FALSE(config.archives());
  config.set_extensions_opcode(KT_LIST_APPEND);
  config.add_extensions("a");
  config.set_archives(true);
  EXPECT_EQ(bytes(config), (Bytes{0x20, 0x01, 0x2A, 0x01, 0x61, 0x90, 0x03, 0x01}));
  config.set_archives(false);
  EXPECT_EQ(bytes(config), (Bytes{0x20, 0x01, 0x2A, 0x01, 0x61, 0x90, 0x03, 0x00}));
  KtScanParamsConfig lists;
  lists.add_extensions("");
  lists.add_extensions("b");
  EXPECT_EQ(bytes(lists), (Bytes{0x2A, 0x00, 0x2A, 0x01, 0x62}));

  KtScanChangePriorityRequest priority;
  priority.set_scan_id(300);
  priority.set_priority(KT_SCAN_PRIORITY_HIGH);
  EXPECT_EQ(bytes(priority), (Bytes{0x08, 0xAC, 0x02, 0x10, 0x02}));

  KtScanParamsConfigGetResponse get;
  get.mutable_config()->set_archives(true);
  EXPECT_EQ(bytes(get), (Bytes{0x12, 0x03, 0x90, 0x03, 0x01}));
  KtScanParamsConfigGetResponse empty_config;
  ASSERT_TRUE(empty_config.ParseFromString(string_of({0x12, 0x00})));
  EXPECT_TRUE(empty_config.has_config());
  EXPECT_EQ(bytes(empty_config), (Bytes{0x12, 0x00}));

  KtScanListResponse list;
  list.add_scans();
  list.add_scans();
  EXPECT_EQ(bytes(list), (Bytes{0x0A, 0x00, 0x0A, 0x00}));
  KtScanListResponse list_back;
  ASSERT_TRUE(list_back.ParseFromString(string_of({0x0A, 0x00, 0x0A, 0x00})));
  EXPECT_EQ(list_back.scans_size(), 2);

  KtScanParamsConfigNotification both;
  both.mutable_user_config()->set_user_id(7);
  both.mutable_all_configs()->add_user_configs()->set_user_id(8);
  KtScanParamsConfigNotification both_back;
  ASSERT_TRUE(both_back.ParseFromString(both.SerializeAsString()));
  EXPECT_TRUE(both_back.has_user_config() && both_back.has_all_configs());
  EXPECT_EQ(both_back.all_configs().user_configs(0).user_id(), 8u);

  // A sub-message that does not parse fails the whole message.
  EXPECT_FALSE(KtScanReportListResponse().ParseFromString(string_of({0x0A, 0x02, 0x0A, 0x05})));
}

// The engine may add its URL-scan verdict to a final response: it parses and survives re-framing.
TEST(Schemas, FinalResponseWithUrlscanVerdict) {
  KtEngineScanResponse response;
  auto* result = response.mutable_scan_result();
  result->mutable_urlscan_response()->set_next_scan_options(NSO_SKIP_WHOLE_CONNECTION);
  result->mutable_urlscan_response()->set_phishing(PHISHING_BLACKLIST);
  result->mutable_version_info()->set_version("26120900");
  const Bytes payload = {0x0A, 0x12, 0x0A, 0x04, 0x08, 0x03, 0x18, 0x05, 0x12, 0x0A, 0x0A, 0x08,
                         '2',  '6',  '1',  '2',  '0',  '9',  '0',  '0'};
  EXPECT_EQ(serialize(response), payload);

  KtMsgBase envelope;
  envelope.set_type(KT_RESPONSE);
  envelope.set_opcode(KT_REQ_ENGINE_SCAN);
  envelope.set_payload(string_of(payload));
  const Bytes wire = frame(envelope);
  KtMsgBase received;
  ASSERT_EQ(msg_wire_read(received, wire.data(), wire.size()).first, ReadStatus::OK);
  KtEngineScanResponse parsed;
  ASSERT_TRUE(parsed.ParseFromString(received.payload()));
  EXPECT_EQ(parsed.scan_result().version_info().version(), "26120900");
  EXPECT_EQ(parsed.scan_result().urlscan_response().phishing(), PHISHING_BLACKLIST);
  EXPECT_EQ(serialize(parsed), payload);
}

}  // namespace
