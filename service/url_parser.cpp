#include "service/url_parser.hpp"

#include "ktu/encoding/url.hpp"
#include "ktu/util/text.hpp"

using ktu::encoding::url_decode;

UrlParser::UrlParser(std::string_view target) {
  const auto question = target.find('?');
  if (question == std::string_view::npos) {
    path = url_decode(target);
    return;
  }
  path = url_decode(target.substr(0, question));

  // Separators are not merged: empty tokens (and so empty keys) are kept.
  const std::string_view q = target.substr(question + 1);
  std::size_t start = 0;
  for (;;) {
    const auto end = q.find_first_of("&;", start);
    const auto token = q.substr(start, end == std::string_view::npos ? std::string_view::npos
                                                                     : end - start);
    const auto equals = token.find('=');
    if (equals == std::string_view::npos) {
      query.emplace(url_decode(token), std::string());
    } else {
      query.emplace(url_decode(token.substr(0, equals)), url_decode(token.substr(equals + 1)));
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
}

std::string UrlParser::dump_query() const {
  std::string out;
  for (const auto& [key, value] : query) {
    out += '"';
    out += ktu::util::escape(key);
    out += "\" = \"";
    out += ktu::util::escape(value);
    out += "\"; ";
  }
  return out;
}

std::optional<std::string> UrlParser::get_value(const std::string& key) const {
  // find() may return any of several equal keys; the first one is at the lower bound.
  const auto it = query.lower_bound(key);
  if (it == query.end() || it->first != key) return std::nullopt;
  return it->second;
}

std::vector<std::string> UrlParser::get_keys() const {
  std::vector<std::string> keys;
  keys.reserve(query.size());
  for (const auto& entry : query) keys.push_back(entry.first);
  return keys;
}

std::vector<std::string> UrlParser::get_values(const std::string& key) const {
  std::vector<std::string> values;
  const auto [first, last] = query.equal_range(key);
  for (auto it = first; it != last; ++it) values.push_back(it->second);
  return values;
}
