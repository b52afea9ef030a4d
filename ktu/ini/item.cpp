#include "ktu/ini/item.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "ktu/log/log.hpp"

namespace ktu::ini {

std::string Item::section_key() const {
  if (section.empty()) return key;
  return section + "." + key;
}

std::pair<std::string, std::string> Item::eval_section_key() const {
  const auto dot = key.rfind('.');
  if (dot == std::string::npos) return {section, key};
  std::string first = section;
  if (!section.empty()) first += '.';
  first.append(key, 0, dot);
  return {std::move(first), key.substr(dot + 1)};
}

int32_t Item::get_int32(int32_t default_value) const {
  if (value_type == ValueType::INTEGER && number >= std::numeric_limits<int32_t>::min() &&
      number <= std::numeric_limits<int32_t>::max()) {
    return static_cast<int32_t>(number);
  }
  KTU_LOG(ERROR, "ini_parser", "{}: Expected int32 value", section_key());
  return default_value;
}

int64_t Item::get_int64(int64_t default_value) const {
  if (value_type == ValueType::INTEGER) return number;
  KTU_LOG(ERROR, "ini_parser", "{}: Expected int64 value", section_key());
  return default_value;
}

uint32_t Item::get_uint32(uint32_t default_value) const {
  if (value_type == ValueType::INTEGER && number >= 0 &&
      number <= std::numeric_limits<uint32_t>::max()) {
    return static_cast<uint32_t>(number);
  }
  KTU_LOG(ERROR, "ini_parser", "{}: Expected uint32 value", section_key());
  return default_value;
}

uint64_t Item::get_uint64(uint64_t default_value) const {
  if (value_type == ValueType::STRING) {
    std::string digits = value;
    digits.erase(std::remove(digits.begin(), digits.end(), '_'), digits.end());
    try {
      return std::stoull(digits, nullptr, 10);
    } catch (const std::exception&) {
      // Not a number, or beyond 64 bits: falls through to the error below.
    }
  }
  if (value_type == ValueType::INTEGER && number >= 0) return static_cast<uint64_t>(number);
  KTU_LOG(ERROR, "ini_parser", "{}: Expected uint64 value", section_key());
  return default_value;
}

}  // namespace ktu::ini
