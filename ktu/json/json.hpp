// Helpers around JSON documents held as nlohmann::json values: storing to a file (atomically if
// wanted), loading with an error text instead of exceptions, and integer range tests.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace ktu::json {

// One process-wide null document.
const nlohmann::json& null_value();

// indent > 0 pretty-prints with that many spaces per level, except 9: one tab per level;
// 0 or less writes one line. The file ends with a line feed. A string that is not valid UTF-8
// is written with U+FFFD in place of the bad bytes. True when all was written and closed.
bool store_to_file(const nlohmann::json& document, const char* path, int indent);

// Writes a temporary file beside `path`, flushes it to disk, gives it exactly `mode` and renames
// it into place. On failure one WARNING is logged, `path` is untouched and no temporary file
// remains.
bool store_to_file_atomic(const nlohmann::json& document, const char* path, int indent, uint32_t mode);

// Parse with comments allowed. On failure (no file, a file that cannot be read, bad JSON) the
// result is discarded (is_discarded()) and, when `error` is not null, it receives why.
nlohmann::json load_from_file(const char* path, std::string* error);
nlohmann::json load_from_string(const std::string& text, std::string* error);

// Whether the value is an integer (not a floating-point number) in the named range.
bool is_int32(const nlohmann::json& value);
bool is_uint32(const nlohmann::json& value);
bool is_int64(const nlohmann::json& value);
bool is_uint64(const nlohmann::json& value);

}  // namespace ktu::json
