#include "ktu/ini/ini_parser.hpp"

#include <exception>

#include "ktu/ini/ini_grammar.hpp"

namespace ktu::ini {

namespace parser {
namespace detail {
thread_local const ErrorCallback* err_cb = nullptr;
thread_local int err_count = 0;
}  // namespace detail

const ErrorCallback* get_err_cb() { return detail::err_cb; }
int get_err_count() { return detail::err_count; }
}  // namespace parser

bool parse_file(const std::string& path, const ItemCallback& on_item, const ErrorCallback& on_error,
                unsigned int flags) {
  try {
    // Mapped, not read: the grammar works on the mapping in place. A file that cannot be
    // opened, examined or mapped throws std::filesystem::filesystem_error, whose text names
    // the step ("open() failed", "mmap() failed" for a directory), the system error and the path.
    tao::pegtl::file_input<tao::pegtl::tracking_mode::eager, tao::pegtl::eol::lf_crlf> in(path);
    return parse_input(in, on_item, on_error, flags);
  } catch (const std::exception& e) {
    on_error(ErrorCode::READ_ERROR, e.what(), std::string());
    return false;
  }
}

bool parse_string(const std::string& text, const ItemCallback& on_item,
                  const ErrorCallback& on_error, unsigned int flags) {
  tao::pegtl::memory_input<tao::pegtl::tracking_mode::eager, tao::pegtl::eol::lf_crlf> in(
      text.data(), text.size(), "<input>");
  return parse_input(in, on_item, on_error, flags);
}

}  // namespace ktu::ini
