#include "service/request_handler.hpp"

#include <ios>
#include <utility>

#include <boost/beast/http/field.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/verb.hpp>
#include <fmt/format.h>

#include "ktu/log/log.hpp"
#include "ktu/util/text.hpp"
#include "ktu/util/uuid.hpp"
#include "service/client_pool.hpp"
#include "service/url_parser.hpp"

namespace http = boost::beast::http;

namespace {

constexpr std::string_view server_name = "kelto-rest/" KELTO_VERSION;

HttpResponse text_response(http::status status, unsigned http_version, std::string body) {
  HttpResponse res{status, http_version};
  res.set(http::field::server, server_name);
  res.set(http::field::content_type, "text/html");
  res.body() = std::move(body);
  res.prepare_payload();
  return res;
}

// Only these four spellings, in any case: a query flag is never guessed.
bool parse_bool(const std::string& text, bool& flag) {
  const std::string lower = ktu::util::to_lower(text);
  if (lower == "1" || lower == "true") {
    flag = true;
    return true;
  }
  if (lower == "0" || lower == "false") {
    flag = false;
    return true;
  }
  return false;
}

// The error pages are sent as HTML: caller and engine text in them (engine errors, archive
// member names) must stay text, never become markup.
std::string escape_html(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string param_message(std::string_view what, const std::string& key, const std::string& value) {
  return fmt::format("{}: {}={}", what, escape_html(key), escape_html(value));
}

// Applies one query entry to the payload; the error message when it fails, empty otherwise.
std::string apply_parameter(const Options& options, ScanRequestPayload& payload,
                            const std::string& key, const std::string& value) {
  KtEngineScanRequest& req = payload.request;
  const auto repeated = [&] { return param_message("Unexpected repeated parameter", key, value); };
  const auto not_bool = [&] { return param_message("Expecting bool", key, value); };

  if (key == "email") {
    if (payload.email_seen) return repeated();
    bool flag = false;
    if (!parse_bool(value, flag)) return not_bool();
    KtEngineScanParameters* params = req.mutable_scan_params();
    if (flag) {
      params->set_trigger(SCAN_TRIGGER_MAIL);
      params->set_provider(SCAN_PROVIDER_MAILGUARD);
      params->set_caller_context(true);
    }
    payload.email_seen = true;
    return {};
  }
  if (key == "path") {
    if (!options.server_side_paths) return "path: Scanning server-side paths not allowed";
    if (req.has_scan_params() && req.scan_params().has_path()) return repeated();
    req.mutable_scan_params()->set_path(value);
    return {};
  }
  if (key == "filename") {
    if (req.has_scan_params() && req.scan_params().has_filename()) return repeated();
    KtEngineScanParameters* params = req.mutable_scan_params();
    params->set_filename(value);
    params->set_caller_context(true);
    return {};
  }
  const auto config_bool = [&](bool (KtEngineScanConfiguration::*has)() const,
                               void (KtEngineScanConfiguration::*set)(bool)) -> std::string {
    if (req.has_configuration() && (req.configuration().*has)()) return repeated();
    bool flag = false;
    if (!parse_bool(value, flag)) return not_bool();
    (req.mutable_configuration()->*set)(flag);
    return {};
  };
  if (key == "full") {
    return config_bool(&KtEngineScanConfiguration::has_full_files,
                       &KtEngineScanConfiguration::set_full_files);
  }
  if (key == "archives") {
    return config_bool(&KtEngineScanConfiguration::has_archives,
                       &KtEngineScanConfiguration::set_archives);
  }
  if (key == "pup") {
    return config_bool(&KtEngineScanConfiguration::has_pup, &KtEngineScanConfiguration::set_pup);
  }
  if (key == "heuristics") {
    if (req.has_configuration() && req.configuration().has_heuristics()) return repeated();
    int level = 0;
    if (!ktu::util::from_string<int>(value, level, std::ios_base::dec) || level < 0 || level > 100) {
      return param_message("Expecting integer (0-100)", key, value);
    }
    req.mutable_configuration()->set_heuristics(level);
    return {};
  }
  if (key == "detections") {
    if (payload.detections_set) return repeated();
    bool flag = false;
    if (!parse_bool(value, flag)) return not_bool();
    payload.detections = flag;
    payload.detections_set = true;
    return {};
  }
  return param_message("Unknown parameter", key, value);
}

void fill_defaults(const Options& options, ScanRequestPayload& payload) {
  KtEngineScanConfiguration* config = payload.request.mutable_configuration();
  if (!config->has_full_files()) config->set_full_files(options.full_files);
  if (!config->has_archives()) config->set_archives(options.archives);
  if (!config->has_pup()) config->set_pup(options.pup);
  if (!config->has_heuristics()) config->set_heuristics(options.heuristics);
  if (!payload.detections_set) {
    payload.detections = options.detections;
    payload.detections_set = true;
  }
}

// The id the engine request carries. Every reply frame is checked against it, so each request
// needs one that no other request has, also when clients send one id with several requests (a
// gateway passing its own request's id with each file): a UUID made here, behind the client's id
// when there is one, so that the engine's logs can still be searched by it.
std::string engine_correlation_id() {
  const std::string& client = ktu::log::get_correlation_id();
  std::string own = ktu::util::Uuid::generate().to_string(ktu::util::Uuid::LOWER);
  if (client.empty()) return own;
  return client + "/" + own;
}

void enqueue(ClientPool& pool, std::unique_ptr<ClientRequest> engine_request) {
  // forward_scanner_request has answered the client itself when it returns none.
  if (engine_request) pool.enqueue_request(std::move(engine_request));
}

}  // namespace

HttpResponse bad_request(unsigned http_version, std::string_view message) {
  return text_response(http::status::bad_request, http_version,
                       fmt::format("Bad request: {}\n", message));
}

HttpResponse server_error(unsigned http_version, std::string_view message) {
  return text_response(http::status::internal_server_error, http_version,
                       fmt::format("Internal server error: {}\n", escape_html(message)));
}

HttpResponse not_found(unsigned http_version, std::string_view decoded_path) {
  return text_response(http::status::not_found, http_version,
                       fmt::format("The resource '{}' was not found.\n", escape_html(decoded_path)));
}

HttpResponse continue_response(unsigned http_version) {
  HttpResponse res{http::status::continue_, http_version};
  res.set(http::field::server, server_name);
  return res;
}

HttpResponse fixed_response(http::status status) {
  return text_response(status, 11, fmt::format("{}\n", http::obsolete_reason(status)));
}

std::unique_ptr<ClientRequest> ScanRequest::handle_body(HttpRequest& req, ReplyCallback&& reply) {
  payload.fd = req.body().file().native_handle();
  payload.request.mutable_scan_params()->set_fd_index(0);
  return forward_scanner_request(payload, req.version(), std::move(reply));
}

std::unique_ptr<Request> RequestHandler::handle_header(HttpRequest& req, ReplyCallback&& reply) const {
  const UrlParser url(req.target());
  KTU_LOG(INFO, "Request", "Header: {} {} (query: {} data: {})", req.method_string(), url.path,
          url.dump_query(), req.body().size());

  const unsigned version = req.version();
  const http::verb method = req.method();
  if (method != http::verb::get && method != http::verb::post && method != http::verb::put) {
    reply(bad_request(version, "Unsupported HTTP-method"));
    return nullptr;
  }
  if (url.path != "/v1/scan") {
    reply(not_found(version, url.path));
    return nullptr;
  }

  auto scan = std::make_unique<ScanRequest>();
  // The multimap's order decides which failing entry is reported: the first in key order.
  for (const auto& [key, value] : url.query) {
    std::string error = apply_parameter(options, scan->payload, key, value);
    if (!error.empty()) {
      reply(bad_request(version, error));
      return nullptr;
    }
  }
  fill_defaults(options, scan->payload);
  scan->payload.correlation_id = engine_correlation_id();

  if (method == http::verb::get) {
    enqueue(pool, forward_scanner_request(scan->payload, version, std::move(reply)));
    return nullptr;
  }

  const auto content_type = req.find(http::field::content_type);
  if (content_type == req.end() || content_type->value().empty()) {
    reply(bad_request(version, "Missing Content-Type"));
    return nullptr;
  }
  if (!ktu::util::equals_nocase(content_type->value(), "application/octet-stream")) {
    reply(bad_request(version,
                      fmt::format("Unsupported Content-Type: {}", escape_html(content_type->value()))));
    return nullptr;
  }

  // An HTTP/1.0 client knows no interim answer: its expectation is ignored.
  const auto expect = req.find(http::field::expect);
  if (version >= 11 && expect != req.end() && ktu::util::equals_nocase(expect->value(), "100-continue")) {
    reply(continue_response(version));
    scan->read_body_now = false;
  }
  return scan;
}

void RequestHandler::handle_body(std::unique_ptr<Request>&& request, HttpRequest& req,
                                 ReplyCallback&& reply) const {
  std::unique_ptr<Request> owned = std::move(request);
  enqueue(pool, owned->handle_body(req, std::move(reply)));
}
