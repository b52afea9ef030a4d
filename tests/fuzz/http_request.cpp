// Request heads from the network, parsed as the session parses them and handed to the request
// handler: nothing may crash, and every answer must be one the handler is allowed to give.
// The first byte picks the settings (server-side paths, defaults); the rest is the request.
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/beast/http/parser.hpp>

#include "service/client_pool.hpp"
#include "service/options.hpp"
#include "service/request_framing.hpp"
#include "service/request_handler.hpp"

namespace http = boost::beast::http;

namespace {

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

void check(const HttpResponse& res, bool& final_seen) {
  const std::string_view body = res.body();
  switch (res.result_int()) {
    case 100:
      if (final_seen || !body.empty()) std::abort();
      return;
    case 400:
      if (!starts_with(body, "Bad request: ")) std::abort();
      break;
    case 404:
      if (!starts_with(body, "The resource '")) std::abort();
      break;
    case 500:
      if (!starts_with(body, "Internal server error: ")) std::abort();
      break;
    default:
      std::abort();
  }
  if (res[http::field::server] != "kelto-rest/4.7.0" || res[http::field::content_type] != "text/html") std::abort();
  if (body.empty() || body.back() != '\n') std::abort();
  final_seen = true;
}

// A parser as the session sets one up, with an empty memory file for the body.
bool set_up(RequestParser& parser) {
  const int fd = ::memfd_create("fuzz", MFD_CLOEXEC);
  if (fd < 0) return false;
  boost::beast::file file;
  file.native_handle(fd);
  boost::beast::error_code ec;
  parser.get().body().reset(std::move(file), ec);
  parser.header_limit(head_limit);
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  parser.eager(false);
  return true;
}

enum class Outcome { waiting, done, refused };

// As the session reads a body: in parts, with what the parser left waiting in front of the next.
Outcome read_body(RequestParser& parser, std::string_view body, std::size_t part) {
  parser.eager(true);
  std::string buffer;
  boost::beast::error_code ec;
  for (std::size_t next = 0; next < body.size() && !parser.is_done(); next += part) {
    buffer.append(body.substr(next, part));
    buffer.erase(0, put_body(parser, buffer, ec));
    if (ec && ec != http::error::need_more) return Outcome::refused;
  }
  return parser.is_done() ? Outcome::done : Outcome::waiting;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static boost::asio::io_context ioc;  // never run: engine work stays pending
  static Options options;
  static ClientPool pool(ioc, options);
  options.server_side_paths = data[0] & 1;
  options.archives = data[0] & 2;
  options.heuristics = data[0] >> 2;
  const RequestHandler handler{pool, options};

  RequestParser parser;
  if (!set_up(parser)) return 0;
  boost::beast::error_code ec;
  // As the session reads: in parts (their size follows from the length, so heads split
  // anywhere are tried), with what the parser left waiting in front of the next part.
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t part = 1 + size % 1024;
  std::string buffer;
  std::size_t next = 0;
  HeadProgress head;
  do {
    buffer.append(input.substr(next, part));
    next = std::min(next + part, input.size());
    buffer.erase(0, put_head(parser, head, buffer, ec));
  } while (ec == http::error::need_more && next < input.size());
  // A head the session refuses never reaches the handler. One refused in parts is not taken
  // whole: where the reads end changes no verdict.
  if (ec || classify_head(parser, head, ec).error) {
    RequestParser whole;
    HeadProgress whole_head;
    if (ec != http::error::need_more && set_up(whole) && (put_head(whole, whole_head, input, ec), !ec) &&
        !classify_head(whole, whole_head, ec).error) {
      std::abort();
    }
    return 0;
  }

  bool final_seen = false;
  auto request = handler.handle_header(parser.get(), [&](HttpResponse&& res) { check(res, final_seen); });
  if (request) {
    if (final_seen) std::abort();  // a request that waits for its body has no answer yet
    const std::string_view body = input.substr(next - buffer.size());
    const Outcome whole = read_body(parser, body, body.size());
    // No limit depends on where the reads end: the head in one part, and the body in other
    // parts, come to the same.
    RequestParser split;
    HeadProgress split_head;
    const std::string_view head_bytes = input.substr(0, input.size() - body.size());
    if (set_up(split)) {
      if (put_head(split, split_head, head_bytes, ec) != head_bytes.size() ||
          classify_head(split, split_head, ec).error || read_body(split, body, 1 + size % 97) != whole) {
        std::abort();
      }
    }
    // A body the session refuses, or one that is not complete, never reaches the handler.
    if (whole != Outcome::done) return 0;
    handler.handle_body(std::move(request), parser.get(), [&](HttpResponse&& res) { check(res, final_seen); });
  }
  return 0;
}
