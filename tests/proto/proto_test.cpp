#include "proto/msg_wire.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

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
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[c.input.size() + 1]);
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

}  // namespace
