#include "service/request_framing.hpp"

#include <cassert>
#include <cctype>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/field.hpp>

#include "ktu/util/text.hpp"

namespace beast = boost::beast;
namespace http = beast::http;

namespace {

bool is_tchar(unsigned char c) {
  return std::isalnum(c) ||
         std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

enum class Coding { none, chunked, not_decoded, malformed };

// The request's transfer coding, all its Transfer-Encoding fields read as one list.
Coding transfer_coding(const RequestParser::value_type& req) {
  auto [first, last] = req.equal_range(http::field::transfer_encoding);
  if (first == last) return Coding::none;
  std::size_t elements = 0;
  bool chunked = false;
  for (auto field = first; field != last; ++field) {
    std::string_view list = field->value();
    for (;;) {
      const std::size_t comma = list.find(',');
      const std::string_view element = trim_blanks(list.substr(0, comma));
      if (element.empty()) return Coding::malformed;
      for (const char c : element) {
        if (!is_tchar(static_cast<unsigned char>(c))) return Coding::malformed;
      }
      ++elements;
      chunked = ktu::util::equals_nocase(element, "chunked");
      if (comma == std::string_view::npos) break;
      list.remove_prefix(comma + 1);
    }
  }
  return elements == 1 && chunked ? Coding::chunked : Coding::not_decoded;
}

// Syntax the parser refuses, as opposed to a peer that closed or went quiet.
bool is_refused(beast::error_code ec) {
  if (ec.category() != beast::error_code(http::error::bad_method).category()) return false;
  switch (static_cast<http::error>(ec.value())) {
    case http::error::header_limit:
    case http::error::bad_line_ending:
    case http::error::bad_method:
    case http::error::bad_target:
    case http::error::bad_version:
    case http::error::bad_field:
    case http::error::bad_value:
    case http::error::bad_content_length:
    case http::error::bad_transfer_encoding:
    case http::error::bad_obs_fold:
    case http::error::multiple_content_length:
    case http::error::bad_chunk:
    case http::error::bad_chunk_extension:
      return true;
    default:
      return false;
  }
}

// 501 only for a coding that is well-formed and framed by nothing else, but not decoded here.
http::status refusal_status(beast::error_code ec, const RequestParser::value_type& req) {
  if (ec == http::error::header_limit) return http::status::request_header_fields_too_large;
  if (ec == http::error::bad_transfer_encoding && transfer_coding(req) == Coding::not_decoded &&
      req.count(http::field::content_length) == 0) {
    return http::status::not_implemented;
  }
  return http::status::bad_request;
}

// Whether a part of a head, as the parser took it, continues a field line on the next.
bool has_obs_fold(std::string_view head_part) {
  // A line break inside a part the parser took is followed by a space or a tab only where a
  // field line is folded: it refuses one after the request line, and the head ends in CRLF CRLF.
  for (std::size_t at = head_part.find("\r\n"); at != std::string_view::npos;
       at = head_part.find("\r\n", at + 2)) {
    const std::size_t next = at + 2;
    if (next < head_part.size() && (head_part[next] == ' ' || head_part[next] == '\t')) return true;
  }
  return false;
}

// Why a head that the parser has read whole is still refused, or no error.
beast::error_code check_head(const RequestParser& parser, const HeadProgress& progress) {
  // The parser holds the request line and the fields to the limit each, not together.
  if (progress.taken > head_limit) return http::error::header_limit;
  // An unfolded line may hold a field that a front end never saw, such as a Content-Length.
  if (progress.folded) return http::error::bad_obs_fold;
  // Only chunked alone frames a body that can be read: with any other coding its end is
  // unknown, or the engine would get the encoded bytes as the content.
  const Coding coding = transfer_coding(parser.get());
  if (coding != Coding::none && (coding != Coding::chunked || !parser.chunked())) {
    return http::error::bad_transfer_encoding;
  }
  return {};
}

// Whether `line` starts with the size of a last chunk: zeros, however many.
bool is_last_chunk(std::string_view line) {
  return line.substr(0, line.find_first_not_of("0123456789abcdefABCDEF")).find_first_not_of('0') ==
         std::string_view::npos;
}

// Whether the head bytes in `waiting`, from `from` on, hold a line end other than CRLF. Beast
// refuses one when it reads the lines, but a head that came in parts is read again only once
// its CRLF CRLF is there, which a client that ends its lines so never sends.
bool has_bare_line_end(std::string_view waiting, std::size_t from) {
  for (std::size_t at = waiting.find('\n', from); at != std::string_view::npos; at = waiting.find('\n', at + 1)) {
    if (at == 0 || waiting[at - 1] != '\r') return true;
  }
  // A CR at the end may yet be followed by its LF.
  for (std::size_t at = waiting.find('\r', from); at < waiting.size() - 1; at = waiting.find('\r', at + 1)) {
    if (waiting[at + 1] != '\n') return true;
  }
  return false;
}

// In a chunked body the parser waits only at a chunk line, or at the last chunk until its
// trailer fields end; what it waits on is `waiting`. It reads a quoted extension past the line
// end, so a quote left open would wait for ever, and it holds lines of any length.
beast::error_code check_waiting(std::string_view waiting) {
  // The line end after the previous chunk's data.
  if (waiting.substr(0, 2) == "\r\n") waiting.remove_prefix(2);
  const std::size_t line_end = waiting.find("\r\n");
  if (line_end == std::string_view::npos) {
    return waiting.size() > head_limit ? http::error::bad_chunk : http::error::need_more;
  }
  const bool last = is_last_chunk(waiting);
  // A whole chunk line, or a whole last chunk with its trailer section, is taken unless its
  // extension is malformed.
  if (!last || waiting.find("\r\n\r\n", line_end) != std::string_view::npos) {
    return http::error::bad_chunk_extension;
  }
  return waiting.size() > head_limit ? http::error::header_limit : http::error::need_more;
}

}  // namespace

RequestParser::RequestParser() { on_chunk_header(chunk_line_limit); }

// Measured as check_waiting measures what the parser waits on, so that the limit is the same
// however the reads end: from the chunk size, leading zeros and all, to the line end, or for
// the last chunk to the end of its trailer section.
void RequestParser::ChunkLineLimit::operator()(std::uint64_t size, beast::string_view extensions,
                                               beast::error_code& ec) const {
  // The head is read without going on into the body, so only put_body hands over chunk lines.
  assert(extensions.data() >= input.data() &&
         extensions.data() + extensions.size() <= input.data() + input.size());
  const auto at = static_cast<std::size_t>(extensions.data() - input.data());
  std::size_t start = at;
  while (start != 0 && std::isxdigit(static_cast<unsigned char>(input[start - 1]))) --start;
  const std::size_t line_end = at + extensions.size() + 2;  // past the CRLF
  if (line_end - start > head_limit) {
    ec = http::error::bad_chunk;
    return;
  }
  // The parser has found the blank line that ends the trailer section.
  if (size == 0 && input.find("\r\n\r\n", line_end - 2) + 4 - start > head_limit) {
    ec = http::error::header_limit;
  }
}

std::size_t put_head(RequestParser& parser, HeadProgress& progress, std::string_view input,
                     beast::error_code& ec) {
  std::size_t used = 0;
  if (!parser.got_some()) {
    // Some clients end a body with a stray line end: empty lines before a request are ignored.
    while (input.substr(used, 2) == "\r\n") used += 2;
    if (input.substr(used) == "\r") {
      progress.taken += used;
      ec = http::error::need_more;
      return used;
    }
  }
  const std::string_view rest = input.substr(used);
  const std::size_t took = parser.put(boost::asio::buffer(rest.data(), rest.size()), ec);
  progress.folded |= has_obs_fold(rest.substr(0, took));
  used += took;
  if (ec == http::error::need_more) {
    // The parser takes whole lines only, so what waits is all head. Looked at once each: the
    // bytes seen before, but the last (a CR whose LF may have come since), are not again.
    const std::string_view waiting = input.substr(used);
    const std::size_t seen = progress.waiting_seen > used ? progress.waiting_seen - used : 0;
    if (has_bare_line_end(waiting, seen > 0 ? seen - 1 : 0)) ec = http::error::bad_line_ending;
    progress.waiting_seen = waiting.size();
  }
  progress.taken += used;
  // The parser's own limit holds for what one read brings: a head sent in parts that each end
  // just past a line end would pass it.
  if (ec == http::error::need_more && progress.taken + (input.size() - used) > head_limit) {
    ec = http::error::header_limit;
  }
  return used;
}

std::size_t put_body(RequestParser& parser, std::string_view input, beast::error_code& ec) {
  // Beast asserts that a last chunk it already waits on comes with 5 bytes or more, which holds
  // only behind another chunk. No body ends in fewer (a last chunk with its blank line is 5),
  // so holding them back until more arrive delays nothing.
  if (input.size() < 5 && parser.chunked() && input.starts_with('0') && is_last_chunk(input)) {
    ec = http::error::need_more;
    return 0;
  }
  parser.chunk_line_limit.input = input;
  const std::size_t used = parser.put(boost::asio::buffer(input.data(), input.size()), ec);
  if (ec == http::error::need_more) ec = check_waiting(input.substr(used));
  return used;
}

Verdict classify_head(const RequestParser& parser, const HeadProgress& progress,
                      beast::error_code ec) {
  if (!ec) ec = check_head(parser, progress);
  if (!is_refused(ec)) return {ec};
  return {ec, refusal_status(ec, parser.get())};
}

Verdict classify_body(beast::error_code ec) {
  if (!is_refused(ec)) return {ec};
  return {ec, http::status::bad_request};
}
