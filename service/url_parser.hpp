// Splits a request target into its decoded path and decoded query parameters.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Never fails: any target, however malformed, gives a path and a (possibly empty) query.
// The query is split at "&" and ";" before decoding, so an encoded separator (%26, %3B)
// stays inside its value; an encoded "?" (%3F) in the path does not start the query.
class UrlParser {
 public:
  explicit UrlParser(std::string_view target);

  // The query for log lines: "key" = "value"; per entry, escaped so that quotes and
  // control bytes cannot be confused with the framing.
  std::string dump_query() const;

  // The value of the first entry with exactly this key.
  std::optional<std::string> get_value(const std::string& key) const;
  // Every entry's key in the query's order, repeats included.
  std::vector<std::string> get_keys() const;
  // The values of every entry with exactly this key, in arrival order.
  std::vector<std::string> get_values(const std::string& key) const;

  std::string path;
  // Keys in byte order; equal keys keep their arrival order, repeats are never merged.
  std::multimap<std::string, std::string> query;
};
