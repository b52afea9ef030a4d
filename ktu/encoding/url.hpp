// Decoding of URL text (paths and query keys and values).
#pragma once

#include <string>
#include <string_view>

namespace ktu::encoding {

// One pass: "+" becomes a space and "%" with two hexadecimal digits becomes that byte.
// A malformed escape is copied as it stands, together with the byte that broke it, which
// is never decoded itself ("%+" stays "%+", "%%41" stays "%%41"); a decoded "%" or "+" is
// not decoded again ("%2541" gives "%41").
std::string url_decode(std::string_view text);

}  // namespace ktu::encoding
