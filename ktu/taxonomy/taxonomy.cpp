#include "ktu/taxonomy/taxonomy.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <boost/json/object.hpp>

#include "ktu/log/log.hpp"
#include "ktu/util/text.hpp"

namespace ktu::taxonomy {

void TaxonomyData::load(const std::string& path) {
  const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "re"), &std::fclose);
  if (!file) {
    KTU_LOG(WARNING, "taxonomy", "{}: Failed to read file", path);
    return;
  }
  char* buffer = nullptr;
  std::size_t capacity = 0;
  ssize_t length;
  // getline keeps NUL bytes and gives the length; only the line feed is taken off.
  while ((length = ::getline(&buffer, &capacity, file.get())) != -1) {
    std::string_view line(buffer, static_cast<std::size_t>(length));
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    auto fields = util::split(line, '|', true);
    if (fields.size() != 4) {
      KTU_LOG(WARNING, "taxonomy", "{}: Corrupted line: {}", path, line);
      continue;
    }
    items[fields[0]] = TaxonomyItem{std::move(fields[1]), std::move(fields[2]), std::move(fields[3])};
  }
  std::free(buffer);
  // A read error (a directory, a failing disk) must not pass for a short file.
  if (std::ferror(file.get())) KTU_LOG(WARNING, "taxonomy", "{}: Failed to read file", path);
}

void TaxonomyData::fill(boost::json::object& object, unsigned severity_id, unsigned type_id) const {
  // The file is taken byte for byte, but a JSON string must be UTF-8: a text in a legacy
  // encoding gets U+FFFD for each byte that is not.
  using util::valid_utf8;
  const auto type = items.find(std::to_string(severity_id) + '.' + std::to_string(type_id));
  if (type != items.end()) {
    object["type"] = valid_utf8(type->second.name);
    object["type_full"] = valid_utf8(type->second.full_name);
    object["desc"] = valid_utf8(type->second.description);
  }
  const auto severity = items.find(std::to_string(severity_id));
  if (severity != items.end()) {
    object["severity"] = valid_utf8(severity->second.name);
    object["severity_full"] = valid_utf8(severity->second.full_name);
    if (type == items.end()) object["desc"] = valid_utf8(severity->second.description);
  }
}

}  // namespace ktu::taxonomy
