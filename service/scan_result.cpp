#include "service/scan_result.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <string_view>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include "ktu/log/log.hpp"
#include "ktu/taxonomy/taxonomy.hpp"
#include "ktu/util/text.hpp"
#include "service/client_request.hpp"

namespace http = boost::beast::http;

namespace {

// The process-wide taxonomy, read the first time a detection is enriched. KELTO_TAXONOMY_FILE
// names another file (tests, local runs).
ktu::taxonomy::TaxonomyData const& taxonomy() {
  struct Loaded {
    Loaded() {
      const char* path = std::getenv("KELTO_TAXONOMY_FILE");
      data.load(path && *path ? path : ktu::taxonomy::TaxonomyData::default_path);
    }
    ktu::taxonomy::TaxonomyData data;
  };
  static Loaded loaded;
  return loaded.data;
}

// Findings and detections that one reply may list: a real scan, even of an archive full of
// malware, lists far fewer. Each costs a few hundred bytes of memory from as little as two bytes
// on the wire, and names and paths come from the scanned data, so an uploader can build a reply
// that would exhaust the daemon's memory.
constexpr std::size_t kMaxFindings = 100000;
constexpr std::size_t kMaxDetections = 4 * kMaxFindings;

// Detections of the record in a progress payload, counted on the wire before the payload is
// parsed: parsing builds an object for each. The parser merges repeated records into one.
std::size_t detections_on_wire(std::string_view payload) {
  using google::protobuf::internal::WireFormatLite;
  google::protobuf::io::CodedInputStream in(reinterpret_cast<const std::uint8_t*>(payload.data()),
                                            static_cast<int>(payload.size()));
  std::size_t count = 0;
  for (std::uint32_t tag; (tag = in.ReadTag()) != 0;) {
    std::uint32_t length = 0;
    if (WireFormatLite::GetTagFieldNumber(tag) != KtEngineScanProgress::kRecordFieldNumber ||
        WireFormatLite::GetTagWireType(tag) != WireFormatLite::WIRETYPE_LENGTH_DELIMITED) {
      if (!WireFormatLite::SkipField(&in, tag)) break;
      continue;
    }
    if (!in.ReadVarint32(&length)) break;
    const auto record = in.PushLimit(static_cast<int>(length));
    for (std::uint32_t field; (field = in.ReadTag()) != 0;) {
      count += WireFormatLite::GetTagFieldNumber(field) == KtScanRecord::kDetectionsFieldNumber;
      if (!WireFormatLite::SkipField(&in, field)) break;
    }
    in.PopLimit(record);
  }
  return count;
}

// JSON text must be UTF-8: names from the engine (archive members in a legacy encoding, say)
// keep every valid sequence, and each byte that cannot start one becomes U+FFFD.
boost::json::string json_text(std::string_view s) {
  return boost::json::string(ktu::util::valid_utf8(s));
}

bool is_issue(KtScanRecord const& record) {
  return record.has_virus() || record.has_warning_id() || record.has_warning_str();
}

// Cuts a container path at every "|>", left to right, keeping empty pieces.
boost::json::array path_members(std::string_view path) {
  boost::json::array members;
  constexpr std::string_view separator = "|>";
  for (;;) {
    std::size_t at = path.find(separator);
    members.emplace_back(json_text(path.substr(0, at)));
    if (at == std::string_view::npos) break;
    path.remove_prefix(at + separator.size());
  }
  return members;
}

boost::json::object detection_object(KtScanRecord_VirusInfo const& info) {
  boost::json::object object;
  object["virus"] = json_text(info.virus());
  object["algo"] = json_text(info.algo());
  object["aux"] = json_text(info.aux());
  taxonomy().fill(object, info.severity_id(), info.type_id());
  return object;
}

HttpResponse ok_response(unsigned http_version, std::string body, std::uint64_t scanned_size) {
  HttpResponse response{http::status::ok, http_version};
  response.set(http::field::server, "kelto-rest/" KELTO_VERSION);
  response.set(http::field::content_type, "application/json");
  response.body() = std::move(body);
  response.prepare_payload();
  if (scanned_size != kUnknownScannedSize) {
    response.set("X-Scanned-Bytes", std::to_string(scanned_size));
  }
  return response;
}

}  // namespace

std::optional<std::string> build_scan_result(std::vector<KtScanRecord> const& records,
                                             KtEngineScanResponse const& response, bool detections,
                                             std::string& error) {
  boost::json::array issues;
  for (KtScanRecord const& record : records) {
    if (!is_issue(record)) continue;
    boost::json::object issue;
    boost::json::array path;
    if (record.has_path()) {
      path = path_members(record.path());
      if (!record.has_depth() || std::uint64_t{record.depth()} + 1 != path.size()) {
        error = fmt::format("unexpected path {} depth {}", record.path(), record.depth());
        return std::nullopt;
      }
    }
    issue["path"] = std::move(path);
    if (!detections && record.has_virus()) issue["virus"] = json_text(record.virus());
    if (record.has_alert_id()) issue["alert_id"] = json_text(record.alert_id());
    if (detections) {
      boost::json::array list;
      for (auto const& info : record.detections()) list.emplace_back(detection_object(info));
      issue["detections"] = std::move(list);
    }
    if (record.has_warning_id()) issue["warning_id"] = std::uint64_t{record.warning_id()};
    if (record.has_warning_str()) issue["warning_str"] = json_text(record.warning_str());
    issues.emplace_back(std::move(issue));
  }
  boost::json::object result;
  result["issues"] = std::move(issues);
  result["vps_version"] = json_text(response.scan_result().version_info().version());
  std::string text = boost::json::serialize(result);
  text.push_back('\n');
  return text;
}

bool ScanReplyHandler::operator()(KtMsgBase&& envelope) {
  ktu::log::CorrelationScope scope(envelope.correlation_id());
  if (envelope.opcode() != KT_REQ_ENGINE_SCAN) {
    KTU_LOG(ERROR, "RequestHandler", "unexpected opcode");
    return false;
  }
  switch (envelope.type()) {
    case KT_PROGRESS: {
      KTU_LOG(DEBUG, "RequestHandler", "received: KT_REQ_ENGINE_SCAN progress");
      const std::size_t more = detections_on_wire(envelope.payload());
      if (records.size() >= kMaxFindings || more > kMaxDetections - detection_count) {
        KTU_LOG(ERROR, "RequestHandler", "reply too large");
        reply(server_error(http_version, "engine read: reply too large"));
        // Finished before the final response: the connection is closed.
        return true;
      }
      detection_count += more;
      KtEngineScanProgress progress;
      if (!progress.ParseFromString(envelope.payload())) {
        KTU_LOG(ERROR, "RequestHandler", "failed to parse payload");
        // The finding it carries would be lost and the scan could pass for clean. Finished
        // before the final response: the connection is closed.
        reply(server_error(http_version, "failed to parse payload"));
        return true;
      }
      records.push_back(std::move(*progress.mutable_record()));
      return false;
    }
    case KT_RESPONSE: {
      KTU_LOG(DEBUG, "RequestHandler", "received: KT_REQ_ENGINE_SCAN response");
      if (envelope.has_error_message()) {
        std::string text = fmt::format("{} ({})", envelope.error_message(), envelope.error_code());
        KTU_LOG(ERROR, "RequestHandler", "{}", text);
        reply(server_error(http_version, text));
        return true;
      }
      KtEngineScanResponse response;
      if (!response.ParseFromString(envelope.payload())) {
        KTU_LOG(ERROR, "RequestHandler", "failed to parse payload");
        reply(server_error(http_version, "failed to parse payload"));
        return true;
      }
      std::string error;
      std::optional<std::string> body = build_scan_result(records, response, detections, error);
      if (!body) {
        reply(server_error(http_version, error));
        return true;
      }
      reply(ok_response(http_version, std::move(*body), scanned_size));
      return true;
    }
    default:
      KTU_LOG(ERROR, "RequestHandler", "unexpected message type");
      return false;
  }
}

std::unique_ptr<ClientRequest> forward_scanner_request(ScanRequestPayload const& payload,
                                                       unsigned http_version, ReplyCallback&& reply) {
  auto request = std::make_unique<ClientRequest>();
  if (!request->setup(payload)) {
    reply(server_error(http_version, "Message serialization failed"));
    return nullptr;
  }
  request->on_error = [http_version, reply](std::string_view text) { reply(server_error(http_version, text)); };

  ScanReplyHandler handler;
  handler.http_version = http_version;
  if (payload.request.has_scan_params() && payload.request.scan_params().has_fd_index()) {
    struct stat st;
    if (fstat(payload.fd, &st) == 0) handler.scanned_size = static_cast<std::uint64_t>(st.st_size);
  }
  handler.detections = payload.detections_set ? payload.detections : false;
  handler.reply = std::move(reply);
  request->on_message = std::move(handler);
  // A request sent again starts its findings afresh, so none is listed twice.
  request->on_retry = [r = request.get()] {
    if (auto* h = r->on_message.target<ScanReplyHandler>()) {
      h->records.clear();
      h->detection_count = 0;
    }
  };
  return request;
}
