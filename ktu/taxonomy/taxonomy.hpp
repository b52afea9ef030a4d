// The detection taxonomy: names and descriptions for the severity and type ids that the
// engine attaches to a detection, read from a text file of "key|name|full name|description"
// rows, one per line. Keys are "A" (severity A) or "A.B" (type B of severity A).
#pragma once

#include <string>
#include <unordered_map>

#include <boost/json/fwd.hpp>

namespace ktu::taxonomy {

class TaxonomyData {
 public:
  struct TaxonomyItem {
    std::string name;         // "type" or "severity"
    std::string full_name;    // "type_full" or "severity_full"
    std::string description;  // "desc"
  };

  static constexpr const char* default_path = "/usr/share/kelto/taxonomy.data";

  // Reads the rows of `path` into `items` (a later row replaces an earlier one of the same
  // key). An unreadable file and malformed lines are logged as warnings and skipped.
  void load(const std::string& path);
  void load() { load(default_path); }

  // Adds to `object`, as JSON strings: "type", "type_full", "desc" from the row
  // "severity_id.type_id", then "severity", "severity_full" from the row "severity_id" (and
  // its "desc" when there is no type row), each made valid UTF-8 (U+FFFD for a byte that is
  // not). Members already there are overwritten in place.
  // Only reads the table: safe from any number of threads once loaded.
  void fill(boost::json::object& object, unsigned severity_id, unsigned type_id) const;

  std::unordered_map<std::string, TaxonomyItem> items;
};

}  // namespace ktu::taxonomy
