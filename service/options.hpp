// The service's settings: defaults here, then the command line, then the configuration file.
//
// Written only during start-up on the main thread, read-only afterwards (passed by const
// reference), so no lock guards it.
#pragma once

#include <cstdint>
#include <string>

namespace ktu::ini {
struct Item;
}

struct Options {
  std::string listen = "127.0.0.1";
  uint16_t port = 8080;
  int32_t threads = 8;
  bool dont_route = false;
  int32_t recv_timeout = 300;  // seconds, limit of one request body read
  // Path of the engine's unix stream socket; the environment variable KELTO_ENGINE_SOCKET
  // replaces it when set (read by parse_args), so tests can run a private engine.
  const char* engine_socket = "/run/kelto/emsg.sock";
  uint32_t conn_pool = 32;
  uint32_t max_queued = 1024;
  bool server_side_paths = false;
  bool full_files = false;
  bool archives = true;
  bool pup = false;
  int32_t heuristics = 80;  // 0 to 100
  bool detections = false;
  int32_t verbosity = 0;
  bool quiet = false;
  bool json_log = false;
  std::string config_path = "/etc/kelto/rest.conf";
};

// Fills `options` from the command line. Returns only when every option was accepted;
// version, help and bad input end the process (status 0 or 1).
void parse_args(Options& options, int argc, char** argv);

// The usage header on standard output, with `program` as the program name.
void print_usage(const char* program);

// Creates and registers the log sinks: standard error (text or JSON) unless quiet, and syslog.
void setup_logging(Options& options);

// Reads the ini file at `path` into `options`; problems are logged, never fatal.
void parse_config(Options& options, const std::string& path);

// Applies one key=value line of the configuration file.
void apply_option(Options& options, const ktu::ini::Item& item);

// Stores an integer item into `field` when it is an integer within T's range, otherwise
// logs a warning and keeps the field. Defined for uint16_t, int32_t and uint32_t.
template <typename T>
void set_integral_option_from_ini(T& field, const ktu::ini::Item& item);
