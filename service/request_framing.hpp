// How the bytes of a connection become a request's head and body beyond the syntax that
// Beast's parser checks itself: one limit for the whole head however it arrives, no folded
// lines, chunked alone as the only transfer coding, no chunk line or trailer that never ends or
// passes that limit, and the answer that a refused request gets before its connection closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <boost/beast/core/error.hpp>
#include <boost/beast/http/file_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>

// The request line and the fields together, with their line ends; also a chunk line, and a
// last chunk with its trailer section.
constexpr std::uint32_t head_limit = 8192;

// Beast's parser for a request whose body goes to a file. Beast takes a whole chunk line, or a
// whole last chunk with its trailer fields, of any length; those it takes are measured here.
class RequestParser : public boost::beast::http::request_parser<boost::beast::http::file_body> {
 public:
  RequestParser();
  // Beast holds the chunk line check by reference.
  RequestParser(const RequestParser&) = delete;
  RequestParser& operator=(const RequestParser&) = delete;

 private:
  friend std::size_t put_body(RequestParser& parser, std::string_view input,
                              boost::beast::error_code& ec);

  struct ChunkLineLimit {
    std::string_view input;  // the bytes put_body hands the parser, which hold the line
    void operator()(std::uint64_t size, boost::beast::string_view extensions,
                    boost::beast::error_code& ec) const;
  };
  ChunkLineLimit chunk_line_limit;
};

// What the parser has taken of a head so far.
struct HeadProgress {
  std::size_t taken = 0;
  bool folded = false;  // a part had a folded line, which the parser unfolds without a trace
  std::size_t waiting_seen = 0;  // bytes at the front of the next input already looked at
};

// Gives the parser the head bytes at the front of `input` and returns how many it used; `ec`
// is need_more while the head is incomplete. Empty lines before the request line are skipped;
// the head is refused as soon as the bytes taken and those waiting pass the limit
// (header_limit), or hold a line end other than CRLF (bad_line_ending), wherever the reads
// ended. The bytes not used must start the next call's `input`.
std::size_t put_head(RequestParser& parser, HeadProgress& progress, std::string_view input,
                     boost::beast::error_code& ec);

// Gives the parser body bytes as put_head does head bytes. A chunk line that is complete but
// not taken (a quote left open in an extension) is refused instead of waited on; a chunk line,
// or a last chunk with its trailer section, longer than the head limit is refused whether it
// is taken whole or waited on.
std::size_t put_body(RequestParser& parser, std::string_view input, boost::beast::error_code& ec);

struct Verdict {
  boost::beast::error_code error;  // none: the request goes on
  // Sent before the close when the request is refused; unknown: the connection just closes
  // (the peer went away or went quiet).
  boost::beast::http::status answer = boost::beast::http::status::unknown;
};

// What a head comes to once its read has ended with `ec`.
Verdict classify_head(const RequestParser& parser, const HeadProgress& progress,
                      boost::beast::error_code ec);
// What a body read that ended with the error `ec` comes to.
Verdict classify_body(boost::beast::error_code ec);
