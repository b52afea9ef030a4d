#include "service/options.hpp"

#include <getopt.h>
#include <libgen.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "ktu/ini/ini_parser.hpp"
#include "ktu/ini/item.hpp"
#include "ktu/log/formatter.hpp"
#include "ktu/log/log.hpp"
#include "ktu/log/log_config.hpp"
#include "ktu/log/sinks.hpp"

namespace {

constexpr const char* kVersion = KELTO_VERSION;
constexpr const char* kDefaultLogConfig = "/etc/kelto/log.conf";

constexpr const char* kUsage =
    "Product: Kelto " KELTO_VERSION
    "\nUsage: {0} (-V | -h)\n"
    "       {0} [-qvsJLP] [-l ADDRESS] [-p PORT] [-c SCANNERS] [-t THREADS] [-c SCANNERS]\n";

constexpr const char* kHelp =
    "\n"
    "Server options:\n"
    "  -l, --listen ADDRESS          listen on this local IP address\n"
    "  -p, --port PORT               listen on this port\n"
    "  -t, --threads THREADS         number of server threads\n"
    "  -L, --dont-route              prevent routing (SO_DONTROUTE)\n"
    "Scanner options:\n"
    "  -C, --scanners SCANNERS       size of concurrent scanner pool\n"
    "  -P, --server-side-paths       allow requests to scan server-side paths\n"
    "General options:\n"
    "  -q, --quiet                   do not log to stderr\n"
    "  -v, --verbose                 increase log level (affects also log file)\n"
    "  -s, --silent                  decrease log level (affects also log file)\n"
    "  -J, --json-log [PATH]         switch stderr log to JSON format, using config at PATH "
    "(default: /etc/kelto/log.conf)\n"
    "  -c, --config PATH             load config file from this path (default: /etc/kelto/rest.conf\n"
    "  -V, --version                 print product version\n"
    "  -h, --help                    print this help";

constexpr const char* kShortOptions = "l:p:t:LC:PVvsJc:qh";

const struct option kLongOptions[] = {
    {"listen", required_argument, nullptr, 'l'},
    {"port", required_argument, nullptr, 'p'},
    {"threads", required_argument, nullptr, 't'},
    {"dont-route", no_argument, nullptr, 'L'},
    {"scanners", required_argument, nullptr, 'C'},
    {"server-side-paths", no_argument, nullptr, 'P'},
    {"version", no_argument, nullptr, 'V'},
    {"verbose", no_argument, nullptr, 'v'},
    {"silent", no_argument, nullptr, 's'},
    {"quiet", no_argument, nullptr, 'q'},
    {"json-log", optional_argument, nullptr, 'J'},
    {"config", required_argument, nullptr, 'c'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// Decimal, with leading white space and one sign allowed, the whole text consumed and the
// value within [low, high]. Read as a 64-bit number first, so that "-1" cannot wrap into
// an unsigned field.
template <typename T>
bool parse_number(const char* text, T& out, T low = std::numeric_limits<T>::min()) {
  if (!text || !*text) return false;
  std::istringstream in{std::string(text)};
  long long value = 0;
  in >> std::dec >> value;
  if (in.fail()) return false;
  if (in.peek() != std::char_traits<char>::eof()) return false;
  if (value < static_cast<long long>(low) ||
      value > static_cast<long long>(std::numeric_limits<T>::max())) {
    return false;
  }
  out = static_cast<T>(value);
  return true;
}

[[noreturn]] void number_error(const char* option, const char* text, const char* program) {
  std::fprintf(stderr, "Error parsing --%s: %s\n", option, text ? text : "");
  print_usage(program);
  std::exit(1);
}

}  // namespace

void print_usage(const char* program) {
  fmt::print(stdout, fmt::runtime(kUsage), program);
  std::fflush(stdout);
}

void parse_args(Options& options, int argc, char** argv) {
  // The test seam for a private engine; the fixed path otherwise.
  if (const char* engine = std::getenv("KELTO_ENGINE_SOCKET"); engine && *engine) {
    options.engine_socket = engine;
  }

  // basename() may modify its argument: work on a copy that lives as long as the process.
  static std::string program_copy;
  program_copy = (argc > 0 && argv[0]) ? argv[0] : "kelto-rest";
  const char* program = ::basename(program_copy.data());

  optind = 0;
  for (;;) {
    const int c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'l':
        options.listen = optarg;
        break;
      case 'c':
        options.config_path = optarg;
        break;
      case 'p':
        if (!parse_number<uint16_t>(optarg, options.port)) number_error("port", optarg, program);
        break;
      case 't':
        // At least one thread must run the event loop.
        if (!parse_number<int32_t>(optarg, options.threads, 1)) {
          number_error("threads", optarg, program);
        }
        break;
      case 'C':
        // An empty pool could never serve a request.
        if (!parse_number<uint32_t>(optarg, options.conn_pool, 1)) {
          number_error("scanners", optarg, program);
        }
        break;
      case 'L':
        options.dont_route = true;
        break;
      case 'P':
        options.server_side_paths = true;
        break;
      case 'q':
        options.quiet = true;
        break;
      case 'v':
        ++options.verbosity;
        break;
      case 's':
        --options.verbosity;
        break;
      case 'J': {
        options.json_log = true;
        const char* path = optarg;
        if (!path && optind < argc && argv[optind] && argv[optind][0] != '-') {
          path = argv[optind++];
        }
        // Read now, before any sink exists: its problems go straight to standard error.
        if (path) {
          ktu::log::parse_log_config(path, true);
        } else {
          ktu::log::parse_log_config(kDefaultLogConfig, false);
        }
        break;
      }
      case 'V':
        std::fprintf(stdout, "%s\n", kVersion);
        std::exit(0);
      case 'h':
        print_usage(program);
        std::fprintf(stdout, "%s\n", kHelp);
        std::exit(0);
      default:
        std::fprintf(stdout, "\n");
        print_usage(program);
        std::exit(1);
    }
  }
}

void setup_logging(Options& options) {
  const auto level = static_cast<ktu::log::Level>(
      std::clamp<long long>(1LL - static_cast<long long>(options.verbosity), -1, 6));
  auto& configuration = ktu::log::get_global_configuration();
  if (!options.quiet) {
    auto sink = ktu::log::create_stderr_sink();
    if (options.json_log) sink->set_formatter(ktu::log::get_json_formatter());
    configuration.add_sink(sink, level);
  }
  configuration.add_sink(
      ktu::log::create_syslog_sink("kelto-rest", ktu::log::SyslogFacility::USER), level);
}

void parse_config(Options& options, const std::string& path) {
  KTU_LOG(INFO, "options", "Loading {}", path);
  const ktu::ini::ItemCallback on_item = [&options](const ktu::ini::Item& item) {
    apply_option(options, item);
  };
  const ktu::ini::ErrorCallback on_error = [](ktu::ini::ErrorCode code, std::string message,
                                              std::string context) {
    if (code == ktu::ini::ErrorCode::READ_ERROR) {
      KTU_LOG(WARNING, "options", "Could not read config file.");
    } else {
      KTU_LOG(ERROR, "options", "Error parsing config: {}\n{}", message, context);
    }
  };
  // The service starts with whatever the file could set.
  ktu::ini::parse_file(path, on_item, on_error, 0);
}

namespace {

// A value that is not of its key's type, or out of its range: the setting keeps its value.
void ignore_option(const ktu::ini::Item& item, std::string_view why) {
  KTU_LOG(WARNING, "options", "Ignoring config option: {} = {} ({})", item.key, item.value, why);
}

}  // namespace

template <typename T>
void set_integral_option_from_ini(T& field, const ktu::ini::Item& item) {
  if (item.value_type != ktu::ini::ValueType::INTEGER) return ignore_option(item, "requires integer value");
  if (item.number < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
      item.number > static_cast<int64_t>(std::numeric_limits<T>::max())) {
    return ignore_option(item, "integer out of range");
  }
  field = static_cast<T>(item.number);
}

template void set_integral_option_from_ini<uint16_t>(uint16_t&, const ktu::ini::Item&);
template void set_integral_option_from_ini<int32_t>(int32_t&, const ktu::ini::Item&);
template void set_integral_option_from_ini<uint32_t>(uint32_t&, const ktu::ini::Item&);

namespace {

// A boolean word or a number counts by its value and an empty value is false. Any other
// text is refused rather than taken as true: a typo must not switch on server-side paths.
void set_boolean_option_from_ini(bool& field, const ktu::ini::Item& item) {
  if (item.value_type != ktu::ini::ValueType::STRING) {
    field = item.number != 0;
  } else if (item.value.empty()) {
    field = false;
  } else {
    ignore_option(item, "requires boolean value");
  }
}

// As set_integral_option_from_ini, but values below 1 are refused as out of range too:
// no thread would run the loop, no engine connection would serve a request, and no body
// could arrive in time.
template <typename T>
void set_positive_option_from_ini(T& field, const ktu::ini::Item& item) {
  T value = field;
  set_integral_option_from_ini(value, item);
  if (value < 1) return ignore_option(item, "integer out of range");
  field = value;
}

// Numbers outside [low, high] are clamped with a warning; anything but an integer is refused
// as by the integer rule, since a word would otherwise become 0 without a trace.
void set_clamped_option_from_ini(int32_t& field, const ktu::ini::Item& item, int32_t low,
                                 int32_t high) {
  if (item.value_type != ktu::ini::ValueType::INTEGER) return ignore_option(item, "requires integer value");
  const int64_t n = item.number;
  if (n >= low && n <= high) {
    field = static_cast<int32_t>(n);
    return;
  }
  KTU_LOG(WARNING, "options", "Integer out of range: [{}] {} = {}", item.section, item.key,
          item.value);
  field = n < low ? low : high;
}

}  // namespace

void apply_option(Options& options, const ktu::ini::Item& item) {
  const std::string& section = item.section;
  const std::string& key = item.key;
  if (section == "server") {
    if (key == "listen") return void(options.listen = item.value);
    if (key == "port") return set_integral_option_from_ini(options.port, item);
    if (key == "threads") return set_positive_option_from_ini(options.threads, item);
    if (key == "dont_route") return set_boolean_option_from_ini(options.dont_route, item);
    if (key == "recv_timeout") return set_positive_option_from_ini(options.recv_timeout, item);
  } else if (section == "engine") {
    if (key == "conn_pool") return set_positive_option_from_ini(options.conn_pool, item);
    if (key == "max_queued") return set_integral_option_from_ini(options.max_queued, item);
  } else if (section == "scanner") {
    if (key == "server_side_paths") return set_boolean_option_from_ini(options.server_side_paths, item);
    if (key == "full_files") return set_boolean_option_from_ini(options.full_files, item);
    if (key == "archives") return set_boolean_option_from_ini(options.archives, item);
    if (key == "pup") return set_boolean_option_from_ini(options.pup, item);
    if (key == "heuristics") return set_clamped_option_from_ini(options.heuristics, item, 0, 100);
    if (key == "detections") return set_boolean_option_from_ini(options.detections, item);
  }
  KTU_LOG(WARNING, "options", "Unknown config option: [{}] {} = {}", section, key, item.value);
}
