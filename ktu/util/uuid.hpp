// Universally unique identifiers through the platform's libuuid.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace ktu::util {

class Uuid {
 public:
  enum Style { DEFAULT = 0, LOWER = 1, UPPER = 2 };

  // All zero (the nil identifier) until generated or parsed.
  Uuid() = default;
  explicit Uuid(const std::array<unsigned char, 16>& bytes) : bytes_(bytes) {}

  static Uuid generate();
  // Accepts exactly the 36-character 8-4-4-4-12 form; on false the identifier is unchanged.
  bool parse(const std::string& text);
  // Empty for a style outside the enumeration.
  std::string to_string(Style style = DEFAULT) const;

  const std::array<unsigned char, 16>& bytes() const { return bytes_; }

  friend bool operator==(const Uuid&, const Uuid&) = default;

 private:
  std::array<unsigned char, 16> bytes_{};
};

// The text form of exactly 16 bytes, otherwise an empty string.
std::string uuid_bin_to_hex(const std::vector<unsigned char>& bytes, Uuid::Style style);
// The 16 bytes of a textual identifier, or an empty vector.
std::vector<unsigned char> uuid_hex_to_bin(const std::string& text);

}  // namespace ktu::util
