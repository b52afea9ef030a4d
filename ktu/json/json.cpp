#include "ktu/json/json.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <ios>
#include <limits>
#include <system_error>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "ktu/log/log.hpp"
#include "ktu/util/file.hpp"

namespace ktu::json {

namespace {

constexpr int TAB_INDENT = 9;

template <typename Input>
nlohmann::json parse(Input&& input, std::string* error) {
  if (!error) {
    return nlohmann::json::parse(std::forward<Input>(input), nullptr, false, true);
  }
  try {
    return nlohmann::json::parse(std::forward<Input>(input), nullptr, true, true);
  } catch (const nlohmann::json::exception& e) {
    *error = e.what();
    return nlohmann::json(nlohmann::json::value_t::discarded);
  }
}

}  // namespace

const nlohmann::json& null_value() {
  static const nlohmann::json value;
  return value;
}

bool store_to_file(const nlohmann::json& document, const char* path, int indent) {
  std::ofstream out(path, std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out.is_open()) return false;
  try {
    // The library takes the stream's width as the indentation and its fill as the character.
    if (indent == TAB_INDENT) {
      out.width(1);
      out.fill('\t');
    } else {
      out.width(indent > 0 ? indent : 0);
    }
    out << document << '\n' << std::flush;
  } catch (const nlohmann::json::type_error&) {
    // Invalid UTF-8 in a string: write the whole document again with replacement characters.
    // What was written before the failure is a prefix of this text, so nothing stale remains.
    out.clear();
    out.seekp(0);
    const int width = indent == TAB_INDENT ? 1 : (indent > 0 ? indent : -1);
    const char fill = indent == TAB_INDENT ? '\t' : ' ';
    out << document.dump(width, fill, false, nlohmann::json::error_handler_t::replace) << '\n'
        << std::flush;
  }
  out.close();
  return !out.fail() && !out.bad();
}

bool store_to_file_atomic(const nlohmann::json& document, const char* path, int indent, uint32_t mode) {
  util::TmpFileHolder tmp;
  util::fd_holder fd = tmp.create_from_template(fmt::format("{}.tmpXXXXXX", path));
  if (fd.get() < 0) {
    KTU_LOG(WARNING, "json", "store_to_file_atomic: Cannot create tmp file {}.tmp", path);
    return false;
  }
  const std::string& tmp_path = tmp.get_path();
  // The mode is set after writing: a mode without owner write (0 included) must not stop it.
  // The data reaches the disk before the rename, so a crash cannot leave an empty file behind.
  if (!store_to_file(document, tmp_path.c_str(), indent) || ::fchmod(fd.get(), mode) != 0 ||
      ::fsync(fd.get()) != 0) {
    KTU_LOG(WARNING, "json", "store_to_file_atomic: Failed to write file {}", tmp_path);
    return false;
  }
  if (::rename(tmp_path.c_str(), path) != 0) {
    KTU_LOG(WARNING, "json", "store_to_file_atomic: Rename '{}' to '{}' failed", tmp_path, path);
    return false;
  }
  tmp.dismiss();
  return true;
}

nlohmann::json load_from_file(const char* path, std::string* error) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) {
    const int saved = errno;
    if (error) {
      *error = fmt::format("json: Failed to open file {}: ({}) {}", path, saved,
                           std::system_category().message(saved));
    }
    return nlohmann::json(nlohmann::json::value_t::discarded);
  }
  try {
    return parse(in, error);
  } catch (const std::ios_base::failure& e) {
    // The stream buffer throws when a file that opened cannot be read (a directory, an I/O
    // error); that is a failed load like any other, whether or not the caller wants the text.
    if (error) {
      const std::error_code& code = e.code();
      // Without an errno the code is the stream's own, whose number means nothing here.
      *error = code == std::io_errc::stream
                   ? fmt::format("json: Failed to read file {}: {}", path, e.what())
                   : fmt::format("json: Failed to read file {}: ({}) {}", path, code.value(),
                                 code.message());
    }
    return nlohmann::json(nlohmann::json::value_t::discarded);
  }
}

nlohmann::json load_from_string(const std::string& text, std::string* error) {
  return parse(text, error);
}

bool is_int32(const nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    return value.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
  }
  if (value.is_number_integer()) {
    const int64_t v = value.get<int64_t>();
    return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
  }
  return false;
}

bool is_uint32(const nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    return value.get<uint64_t>() <= std::numeric_limits<uint32_t>::max();
  }
  if (value.is_number_integer()) {
    const int64_t v = value.get<int64_t>();
    return v >= 0 && v <= static_cast<int64_t>(std::numeric_limits<uint32_t>::max());
  }
  return false;
}

bool is_int64(const nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    return value.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  }
  return value.is_number_integer();
}

bool is_uint64(const nlohmann::json& value) {
  if (value.is_number_unsigned()) return true;
  if (value.is_number_integer()) return value.get<int64_t>() >= 0;
  return false;
}

}  // namespace ktu::json
