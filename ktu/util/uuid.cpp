#include "ktu/util/uuid.hpp"

#include <uuid/uuid.h>

#include <algorithm>
#include <cstring>

namespace ktu::util {

static_assert(sizeof(uuid_t) == 16);

Uuid Uuid::generate() {
  uuid_t raw;
  uuid_generate(raw);
  Uuid id;
  std::copy(std::begin(raw), std::end(raw), id.bytes_.begin());
  return id;
}

bool Uuid::parse(const std::string& text) {
  // uuid_parse reads a C string: an embedded NUL must not let a shorter text pass.
  if (text.size() != 36 || text.find('\0') != std::string::npos) return false;
  uuid_t raw;
  if (uuid_parse(text.c_str(), raw) != 0) return false;
  std::copy(std::begin(raw), std::end(raw), bytes_.begin());
  return true;
}

std::string Uuid::to_string(Style style) const {
  uuid_t raw;
  std::copy(bytes_.begin(), bytes_.end(), std::begin(raw));
  char text[37];
  switch (style) {
    case DEFAULT: uuid_unparse(raw, text); break;
    case LOWER: uuid_unparse_lower(raw, text); break;
    case UPPER: uuid_unparse_upper(raw, text); break;
    default: return {};
  }
  return std::string(text, 36);
}

std::string uuid_bin_to_hex(const std::vector<unsigned char>& bytes, Uuid::Style style) {
  if (bytes.size() != 16) return {};
  std::array<unsigned char, 16> raw;
  std::copy(bytes.begin(), bytes.end(), raw.begin());
  return Uuid(raw).to_string(style);
}

std::vector<unsigned char> uuid_hex_to_bin(const std::string& text) {
  Uuid id;
  if (!id.parse(text)) return {};
  return std::vector<unsigned char>(id.bytes().begin(), id.bytes().end());
}

}  // namespace ktu::util
