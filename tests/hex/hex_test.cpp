#include "ktu/util/hex.hpp"
#include "ktu/util/uuid.hpp"

#include <gtest/gtest.h>

#include <uuid/uuid.h>

#include <cstdint>
#include <iomanip>
#include <limits>
#include <sstream>

namespace ktu::util {
namespace {

using Bytes = std::vector<unsigned char>;
constexpr size_t SUCCESS = std::numeric_limits<size_t>::max();

std::string dump(const std::string& bytes) {
  std::ostringstream out;
  hex_dump(out, bytes.data(), bytes.size());
  return out.str();
}

TEST(HexDump, RowsByteForByte) {
  EXPECT_EQ(dump(""), "");
  EXPECT_EQ(dump("ABCDEFGHIJ"),
            "0000| 41 42 43 44 45 46 47 48  49 4a" + std::string(20, ' ') + "ABCDEFGH IJ\n");
  EXPECT_EQ(dump("0123456789abcdef"),
            "0000| 30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  01234567 89abcdef \n");
  // Exactly eight bytes: the gap after column 7 and the one after character 7 both appear.
  EXPECT_EQ(dump("ABCDEFGH"), "0000| 41 42 43 44 45 46 47 48  " + std::string(25, ' ') + "ABCDEFGH \n");
  // Space, control bytes and bytes above 0x7e all print as dots.
  EXPECT_EQ(dump(std::string("\x00 ~\x7f\x80\xff", 6)),
            "0000| 00 20 7e 7f 80 ff" + std::string(1 + 3 * 2 + 1 + 3 * 8 + 1, ' ') + "..~...\n");

  const std::string seventeen = "0123456789abcdefZ";
  EXPECT_EQ(dump(seventeen),
            "0000| 30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  01234567 89abcdef \n"
            "0010| 5a" + std::string(1 + 3 * 15 + 2, ' ') + "Z\n");
}

TEST(HexDump, LongOffsetsUpperCaseAndStreamStateRestored) {
  const std::string bytes(0x10010, '\x01');
  std::ostringstream out;
  out << std::uppercase << std::dec << std::setfill('*') << std::left;
  hex_dump(out, bytes.data(), bytes.size());
  const std::string text = out.str();
  EXPECT_NE(text.find("\nFFF0| 01 "), std::string::npos);
  EXPECT_NE(text.find("\n10000| 01 "), std::string::npos);
  EXPECT_EQ(text.find("\n0000"), std::string::npos);  // one row per 16 bytes, no wrap of offsets
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 0x1001);

  // The caller's base, fill and adjustment come back.
  out.str("");
  out << std::setw(3) << 10;
  EXPECT_EQ(out.str(), "10*");
}

TEST(HexDecodeChecked, AnnotatedHexTable) {
  struct Case {
    std::string text;
    Bytes bytes;
    size_t position;
  };
  const Case cases[] = {
      {"41 42 # note\n'hi' 0A", {0x41, 0x42, 'h', 'i', 0x0a}, SUCCESS},
      {"", {}, SUCCESS},
      {"4G", {}, 1},
      {"0x41", {}, 1},
      {"414", {0x41}, SUCCESS},
      {"'abc", {'a', 'b', 'c'}, SUCCESS},
      {"''41", {0x41}, SUCCESS},
      {"4#x\n1", {}, SUCCESS},        // the pending 4 is dropped at the comment
      {"4 1", {0x41}, SUCCESS},       // whitespace may split a byte
      {"4\t\r\v\f\n1", {0x41}, SUCCESS},
      {"aBcD", {0xab, 0xcd}, SUCCESS},
      {"4'x'1", {'x'}, SUCCESS},      // a literal drops the pending digit too
      {"41#no newline", {0x41}, SUCCESS},
      {"41 42 ,43", {0x41, 0x42}, 6},
      {std::string("41\xc3\xa9", 4), {0x41}, 2},  // bytes above 0x7f are neither digits nor space
      {std::string("'\x00\xff'", 4), {0x00, 0xff}, SUCCESS},
      {std::string("41\x00", 3), {0x41}, 2},
  };
  for (const auto& c : cases) {
    size_t position = 12345;
    EXPECT_EQ(hex_to_bin_checked(c.text, &position), c.bytes) << c.text;
    EXPECT_EQ(position, c.position) << c.text;
    EXPECT_EQ(hex_to_bin_checked(c.text, nullptr), c.bytes) << c.text;
  }
}

TEST(HexDecodeStrict, AllOrNothing) {
  const std::pair<std::string, std::string> cases[] = {
      {"414243", "ABC"}, {"41424", ""}, {"4g", ""},       {"00", std::string(1, '\0')},
      {"", ""},          {"fFaA", "\xff\xaa"}, {" 41", ""}, {"4142 ", ""},
      {"-1", ""},        {"+1", ""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(hex_to_bin_str(text), expected) << text;
}

TEST(HexDecodeLenient, PiecesReadLikeAStream) {
  const std::pair<std::string, Bytes> cases[] = {
      {"414", {0x41, 0x04}}, {"zz41", {0x00, 0x41}}, {"-1", {0xff}}, {" 4", {0x04}},
      {"  ", {0x00}},        {"", {}},               {"fF", {0xff}}, {"-f", {0xf1}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(hex_to_bin(text), expected) << text;

  // Every possible piece, checked against the standard stream extraction it must match.
  for (int a = 0; a < 256; ++a) {
    for (int b = -1; b < 256; ++b) {
      std::string piece(1, static_cast<char>(a));
      if (b >= 0) piece.push_back(static_cast<char>(b));
      std::istringstream in(piece);
      int value = 0;
      in >> std::hex >> value;
      const auto expected = static_cast<unsigned char>(in.fail() ? 0 : value & 0xff);
      ASSERT_EQ(hex_to_bin(piece), Bytes{expected}) << "piece " << a << " " << b;
    }
  }
}

TEST(HexEncode, TwoDigitsPerByte) {
  const Bytes bytes{0x00, 0xab, 0x7f};
  EXPECT_EQ(bin_to_hex(bytes), "00AB7F");
  EXPECT_EQ(bin_to_hex(bytes.begin(), bytes.end(), true), "00ab7f");
  EXPECT_EQ(bin_to_hex(bytes.begin(), bytes.end(), false), "00AB7F");
  const std::string text("\x00\xab\x7f", 3);
  EXPECT_EQ(bin_str_to_hex(text), "00AB7F");
  EXPECT_EQ(bin_to_hex(text.data(), text.size()), "00AB7F");
  EXPECT_EQ(bin_to_hex(text.begin(), text.end(), true), "00ab7f");  // signed char values
  EXPECT_EQ(bin_to_hex(Bytes{}), "");
  EXPECT_EQ(bin_str_to_hex(""), "");

  // Encoding and strict decoding are inverse for every byte.
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(hex_to_bin_str(bin_str_to_hex(all)), all);
  EXPECT_EQ(hex_to_bin_str(bin_to_hex(all.begin(), all.end(), true)), all);
}

TEST(Uuid, TextFormsThroughTheSystemLibrary) {
  const std::string text = "0123ABCD-4567-89ab-cdef-0123456789AB";
  Uuid id;
  ASSERT_TRUE(id.parse(text));
  const Bytes bytes{0x01, 0x23, 0xab, 0xcd, 0x45, 0x67, 0x89, 0xab,
                    0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab};
  EXPECT_EQ(Bytes(id.bytes().begin(), id.bytes().end()), bytes);
  EXPECT_EQ(id.to_string(Uuid::LOWER), "0123abcd-4567-89ab-cdef-0123456789ab");
  EXPECT_EQ(id.to_string(Uuid::UPPER), "0123ABCD-4567-89AB-CDEF-0123456789AB");
  uuid_t raw;
  std::copy(bytes.begin(), bytes.end(), raw);
  char expected_default[37];
  uuid_unparse(raw, expected_default);
  EXPECT_EQ(id.to_string(Uuid::DEFAULT), expected_default);
  EXPECT_EQ(id.to_string(static_cast<Uuid::Style>(3)), "");

  EXPECT_EQ(uuid_bin_to_hex(bytes, Uuid::UPPER), "0123ABCD-4567-89AB-CDEF-0123456789AB");
  EXPECT_EQ(uuid_hex_to_bin(text), bytes);

  // A failed parse leaves the identifier as it was.
  const std::string bad[] = {
      "0123abcd4-567-89ab-cdef-0123456789ab",   // hyphens in the wrong places
      "0123abcd-4567-89ab-cdef-0123456789a",    // short
      "0123abcd-4567-89ab-cdef-0123456789abc",  // long
      "0123abcd-4567-89ab-cdef-0123456789ag",
      "",
      std::string("0123abcd-4567-89ab-cdef-0123456789ab\0x", 38),
  };
  for (const auto& b : bad) {
    EXPECT_FALSE(id.parse(b)) << b;
    EXPECT_EQ(uuid_hex_to_bin(b), Bytes{}) << b;
  }
  EXPECT_EQ(id.to_string(Uuid::LOWER), "0123abcd-4567-89ab-cdef-0123456789ab");

  EXPECT_EQ(uuid_bin_to_hex(Bytes(15, 1), Uuid::LOWER), "");
  EXPECT_EQ(uuid_bin_to_hex(Bytes(17, 1), Uuid::LOWER), "");

  const Uuid a = Uuid::generate(), b = Uuid::generate();
  EXPECT_NE(a, b);
  EXPECT_NE(a, Uuid());
  ASSERT_TRUE(id.parse(a.to_string(Uuid::UPPER)));
  EXPECT_EQ(id, a);
}

}  // namespace
}  // namespace ktu::util
