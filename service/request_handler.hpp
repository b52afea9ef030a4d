// The request handler of "/v1/scan": routing, query parameters, content rules, and the
// text responses (400, 404, 500, interim 100) that every part of the service sends.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <boost/beast/http/file_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include "engine.pb.h"
#include "service/options.hpp"

class ClientPool;
class ClientRequest;

// A request as the session parses it: the body goes straight into the request's memory file.
using HttpRequest = boost::beast::http::request<boost::beast::http::file_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// The one way a response reaches the connection that writes it. Callable from any thread;
// each call delivers one response, at most twice per request (an interim 100 first).
using ReplyCallback = std::function<void(HttpResponse&&)>;

// The engine scan request being prepared for one HTTP request.
struct ScanRequestPayload {
  KtEngineScanRequest request;
  std::string correlation_id;
  int fd = 0;  // the body file's descriptor once the body is complete
  bool email_seen = false;
  bool detections = false;
  bool detections_set = false;
};

// A request that waits for its body.
class Request {
 public:
  virtual ~Request() = default;
  virtual std::unique_ptr<ClientRequest> handle_body(HttpRequest& req, ReplyCallback&& reply) = 0;

  // false when an interim 100 was sent: the body is read once that response is written.
  bool read_body_now = true;
};

class ScanRequest : public Request {
 public:
  std::unique_ptr<ClientRequest> handle_body(HttpRequest& req, ReplyCallback&& reply) override;

  ScanRequestPayload payload;
};

struct RequestHandler {
  ClientPool& pool;
  Options const& options;

  // Either finishes the request (an answer went to `reply`, or a GET went to the engine) and
  // returns none, or returns the request that waits for its body.
  std::unique_ptr<Request> handle_header(HttpRequest& req, ReplyCallback&& reply) const;
  // The body is in the body file: hand the request to the engine client.
  void handle_body(std::unique_ptr<Request>&& request, HttpRequest& req, ReplyCallback&& reply) const;
};

HttpResponse bad_request(unsigned http_version, std::string_view message);
// The message is escaped for HTML: it carries engine text, such as names of archive members.
HttpResponse server_error(unsigned http_version, std::string_view message);
HttpResponse not_found(unsigned http_version, std::string_view decoded_path);
HttpResponse continue_response(unsigned http_version);
// The answer to a request that never reaches the handler (a refused head, no descriptor for
// its body): HTTP/1.1, a body that names only the status and never repeats what was sent.
HttpResponse fixed_response(boost::beast::http::status status);

// Builds the engine request for a prepared payload, or answers 500 itself and returns none.
std::unique_ptr<ClientRequest> forward_scanner_request(ScanRequestPayload const& payload,
                                                       unsigned http_version, ReplyCallback&& reply);
