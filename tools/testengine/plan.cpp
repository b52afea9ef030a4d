#include "tools/testengine/plan.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string_view>

namespace kte {

namespace {

constexpr std::string_view kMarker = "#kte ";
constexpr size_t kChunk = 64 * 1024;
// Longer lines cannot be directives; only their start is kept.
constexpr size_t kMaxLine = 4096;

std::vector<std::string> split_words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

uint32_t to_number(const std::string& text) {
  try {
    return static_cast<uint32_t>(std::stoul(text));
  } catch (...) {
    return 0;
  }
}

void add_detection(KtScanRecord& record, const std::string& spec) {
  // virus,algo,aux,severity,type
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t comma = spec.find(',', start);
    parts.push_back(spec.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  auto* d = record.add_detections();
  if (parts.size() > 0) d->set_virus(parts[0]);
  if (parts.size() > 1) d->set_algo(parts[1]);
  if (parts.size() > 2) d->set_aux(parts[2]);
  if (parts.size() > 3) d->set_severity_id(to_number(parts[3]));
  if (parts.size() > 4) d->set_type_id(to_number(parts[4]));
}

KtScanRecord record_from(const std::vector<std::string>& words) {
  KtScanRecord record;
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& w = words[i];
    size_t eq = w.find('=');
    if (eq == std::string::npos) continue;
    std::string key = w.substr(0, eq), value = w.substr(eq + 1);
    if (key == "path") record.set_path(value);
    else if (key == "depth") record.set_depth(to_number(value));
    else if (key == "virus") record.set_virus(value);
    else if (key == "alert") record.set_alert_id(value);
    else if (key == "warning_id") record.set_warning_id(to_number(value));
    else if (key == "warning_str") record.set_warning_str(value);
    else if (key == "detection") add_detection(record, value);
  }
  return record;
}

// Looks for the test string and the directive lines in a stream of chunks.
class Scanner {
 public:
  Scanner(const std::string& name, Plan& plan) : name(name), plan(plan) {}

  void feed(const char* data, size_t n) {
    find_test_string(data, n);
    find_directives(data, n);
  }

  void finish() {
    if (in_line) end_line();
  }

 private:
  void find_test_string(const char* data, size_t n) {
    if (found) return;
    const std::string& needle = test_string();
    // The string may straddle two chunks: search the end of the previous one with this one.
    std::string window = tail;
    window.append(data, std::min(n, needle.size() - 1));
    if (window.find(needle) != std::string::npos ||
        memmem(data, n, needle.data(), needle.size()) != nullptr) {
      found = true;
      Step step{StepKind::RECORD, {}, 0};
      step.record.set_path(name);
      step.record.set_depth(0);
      step.record.set_virus(kTestVirus);
      auto* d = step.record.add_detections();
      d->set_virus(kTestVirus);
      d->set_algo("pattern");
      d->set_aux("");
      d->set_severity_id(1);
      d->set_type_id(2);
      plan.steps.push_back(std::move(step));
      return;
    }
    size_t keep = needle.size() - 1;
    if (n >= keep) {
      tail.assign(data + n - keep, keep);
    } else {
      tail.append(data, n);
      if (tail.size() > keep) tail.erase(0, tail.size() - keep);
    }
  }

  void find_directives(const char* data, size_t n) {
    size_t pos = 0;
    while (pos < n) {
      in_line = true;
      const void* nl = memchr(data + pos, '\n', n - pos);
      size_t end = nl ? static_cast<const char*>(nl) - data : n;
      if (line.size() < kMaxLine) line.append(data + pos, std::min(end - pos, kMaxLine - line.size()));
      if (!nl) return;
      end_line();
      pos = end + 1;
    }
  }

  void end_line() {
    if (line.compare(0, kMarker.size(), kMarker) == 0) apply_directive(line.substr(kMarker.size()), plan);
    line.clear();
    in_line = false;
  }

  const std::string& name;
  Plan& plan;
  std::string tail;
  std::string line;
  bool in_line = false;
  bool found = false;
};

}  // namespace

const std::string& test_string() {
  // Kept in two halves so that this source file is not itself reported by a scanner.
  static const std::string s = std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") +
                               "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
  return s;
}

void apply_directive(const std::string& line, Plan& plan) {
  std::vector<std::string> words = split_words(line);
  if (words.empty()) return;
  const std::string& cmd = words[0];
  auto arg = [&](size_t i) { return i < words.size() ? words[i] : std::string(); };
  if (cmd == "record") {
    plan.steps.push_back({StepKind::RECORD, record_from(words), 0});
  } else if (cmd == "records") {
    uint32_t n = to_number(arg(1));
    for (uint32_t i = 0; i < n; ++i) {
      Step step{StepKind::RECORD, {}, 0};
      step.record.set_path("item" + std::to_string(i));
      step.record.set_depth(0);
      step.record.set_virus("Rec." + std::to_string(i));
      plan.steps.push_back(std::move(step));
    }
  } else if (cmd == "detections") {
    plan.steps.push_back({StepKind::DETECTIONS, {}, to_number(arg(1))});
  } else if (cmd == "long-records") {
    for (uint32_t i = 0, n = to_number(arg(1)); i < n; ++i) {
      plan.steps.push_back({StepKind::LONG_RECORD, {}, to_number(arg(2))});
    }
  } else if (cmd == "empty-progress") {
    plan.steps.push_back({StepKind::EMPTY_PROGRESS, {}, 0});
  } else if (cmd == "error") {
    plan.final = Final::ERROR;
    plan.error_code = static_cast<int>(to_number(arg(1)));
    std::istringstream in(line);
    std::string skip;
    in >> skip >> skip;
    std::getline(in, plan.error_message);
    if (!plan.error_message.empty() && plan.error_message[0] == ' ') plan.error_message.erase(0, 1);
  } else if (cmd == "error-empty") {
    plan.final = Final::ERROR_EMPTY;
  } else if (cmd == "bad-response") {
    plan.final = Final::BAD_RESPONSE;
  } else if (cmd == "no-version") {
    plan.final = Final::NO_VERSION;
  } else if (cmd == "version") {
    plan.version = arg(1);
  } else if (cmd == "echo-correlation") {
    plan.echo_correlation = true;
  } else if (cmd == "bad-progress") {
    plan.steps.push_back({StepKind::BAD_PROGRESS, {}, 0});
  } else if (cmd == "wrong-opcode") {
    plan.steps.push_back({StepKind::WRONG_OPCODE, {}, 0});
  } else if (cmd == "wrong-type") {
    plan.steps.push_back({StepKind::WRONG_TYPE, {}, 0});
  } else if (cmd == "bad-magic") {
    plan.steps.push_back({StepKind::BAD_MAGIC, {}, 0});
  } else if (cmd == "bad-envelope") {
    plan.steps.push_back({StepKind::BAD_ENVELOPE, {}, 0});
  } else if (cmd == "huge-frame") {
    plan.steps.push_back({StepKind::HUGE_FRAME, {}, 0});
  } else if (cmd == "split") {
    plan.split = true;
  } else if (cmd == "coalesce") {
    plan.coalesce = true;
  } else if (cmd == "delay") {
    plan.steps.push_back({StepKind::DELAY, {}, to_number(arg(1))});
  } else if (cmd == "duplicate") {
    plan.duplicate_after = static_cast<int>(to_number(arg(1)));
  } else if (cmd == "other-id") {
    plan.other_id = true;
  } else if (cmd == "reset-next") {
    plan.reset_next = static_cast<int>(to_number(arg(1)));
  } else if (cmd == "close-after") {
    plan.close_after = true;
  } else if (cmd == "close") {
    plan.steps.push_back({StepKind::CLOSE, {}, 0});
  } else if (cmd == "hang") {
    plan.steps.push_back({StepKind::HANG, {}, 0});
  }
}

bool scan_descriptor(int fd, const std::string& name, const std::string& version, Plan& plan) {
  plan.version = version;
  Scanner scanner(name, plan);
  std::string buf(kChunk, '\0');
  off_t offset = 0;
  for (;;) {
    ssize_t n = pread(fd, buf.data(), buf.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    scanner.feed(buf.data(), static_cast<size_t>(n));
    offset += n;
  }
  scanner.finish();
  plan.scanned = static_cast<uint64_t>(offset);
  return true;
}

}  // namespace kte
