// One parsed line of an ini text, as the parser hands it to the item callback.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace ktu::ini {

enum class ValueType : uint16_t {
  STRING = 0,
  BOOLEAN = 1,
  INTEGER = 2,
};

enum class ItemKind : uint16_t {
  SECTION = 0,
  KEY_VALUE = 1,
  COMMENT = 2,
  EMPTY_LINE = 3,
  PLAIN_VALUE = 4,
};

struct Item {
  std::string section;
  std::string key;
  std::string value;
  int64_t number = 0;
  ValueType value_type = ValueType::STRING;
  ItemKind kind = ItemKind::KEY_VALUE;
  char comment_char = 0;

  // "section.key", or the key alone outside any section.
  std::string section_key() const;
  // Moves everything before the key's last "." into the section: (s, "a.b") -> ("s.a", "b").
  std::pair<std::string, std::string> eval_section_key() const;

  // The value when it fits the type; otherwise logs an error and returns `default_value`.
  int32_t get_int32(int32_t default_value) const;
  int64_t get_int64(int64_t default_value) const;
  uint32_t get_uint32(uint32_t default_value) const;
  // Also accepts a text value holding an unsigned decimal number ("_" separators allowed).
  uint64_t get_uint64(uint64_t default_value) const;
};

}  // namespace ktu::ini
