// kelto-testengine: a stand-in for the scanning engine daemon, for tests, benchmarks and
// trying the service out on a machine without the engine.
//
//   kelto-testengine --socket PATH [--null] [--version TEXT] [--record PATH]
//
// It listens on a unix stream socket and serves every connection on a thread of its own, one
// request at a time, keeping the connection open between requests. A request is one frame
// (magic, big-endian length, KtMsgBase) followed, when the envelope has fd_count, by one byte
// that carries the descriptor of the data. The answer is one progress message per finding and
// one final response naming the definitions version. With --null every request is answered at
// once with an empty result, without reading the data. With --record every request appends
// one line to PATH before it is answered: the envelope's bytes as received, in hex, a blank and
// "descriptor" or "no-descriptor", so a test can see exactly what the service sent. Directives
// in the data: see plan.hpp.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "engine.pb.h"
#include "ktu/util/hex.hpp"
#include "msg.pb.h"
#include "proto/msg_wire.hpp"
#include "tools/testengine/plan.hpp"

namespace {

// A frame longer than this is taken as garbage and ends the connection.
constexpr uint32_t kMaxFrame = 64u << 20;

struct Settings {
  std::string socket_path;
  std::string version = "26120901";
  bool null_mode = false;
  std::string record_path;
};

Settings settings;
int record_fd = -1;
std::mutex record_mutex;

bool read_full(int fd, void* buf, size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool write_full(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Receives the one byte that carries the data's descriptor; -1 with errno 0 at end of stream.
int receive_descriptor(int sock) {
  char byte = 0;
  iovec iov{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  ssize_t r;
  do {
    r = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) {
    if (r == 0) errno = 0;
    return -1;
  }
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  if (c == nullptr || c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS ||
      c->cmsg_len != CMSG_LEN(sizeof(int))) {
    // Whatever descriptors did come along are not kept.
    if (c != nullptr && c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
      size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int extra;
        memcpy(&extra, CMSG_DATA(c) + i * sizeof(int), sizeof(extra));
        close(extra);
      }
    }
    errno = ENOENT;
    return -1;
  }
  int fd;
  memcpy(&fd, CMSG_DATA(c), sizeof(fd));
  return fd;
}

// One line per request; connections run on threads of their own, so lines are written whole.
void record_request(const std::string& envelope, bool descriptor) {
  if (record_fd < 0) return;
  std::string line = ktu::util::bin_str_to_hex(envelope);
  line += descriptor ? " descriptor\n" : " no-descriptor\n";
  std::lock_guard lock(record_mutex);
  const char* p = line.data();
  size_t n = line.size();
  while (n > 0) {
    ssize_t r = write(record_fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      fprintf(stderr, "kelto-testengine: %s: %s\n", settings.record_path.c_str(), strerror(errno));
      return;
    }
    p += r;
    n -= static_cast<size_t>(r);
  }
}

std::string frame_of(const KtMsgBase& envelope) {
  std::string out(ktu::msg_wire::msg_wire_size(envelope), '\0');
  out.resize(ktu::msg_wire::msg_wire_write(envelope, out.data()));
  return out;
}

std::string raw_frame(const std::string& magic, uint32_t length, const std::string& body) {
  std::string out = magic;
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(length >> shift));
  return out + body;
}

// Writes the answer of one request the way the plan asks: frame by frame, byte by byte, or
// everything at once.
class Output {
 public:
  Output(int fd, const kte::Plan& plan) : fd(fd), split(plan.split), coalesce(plan.coalesce) {}

  bool send(const std::string& bytes) {
    if (coalesce) {
      pending += bytes;
      return true;
    }
    if (!split) return write_full(fd, bytes.data(), bytes.size());
    for (char c : bytes) {
      if (!write_full(fd, &c, 1)) return false;
      // Give the reader the time to see every byte on its own.
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    return true;
  }

  bool flush() {
    bool ok = write_full(fd, pending.data(), pending.size());
    pending.clear();
    return ok;
  }

 private:
  int fd;
  bool split, coalesce;
  std::string pending;
};

KtMsgBase reply_envelope(const KtMsgBase& request, KtMsgType type) {
  KtMsgBase env;
  env.set_type(type);
  env.set_opcode(KT_REQ_ENGINE_SCAN);
  if (request.has_correlation_id()) env.set_correlation_id(request.correlation_id());
  return env;
}

KtMsgBase error_response(const KtMsgBase& request, int code, const std::string& text) {
  KtMsgBase env = reply_envelope(request, KT_RESPONSE);
  if (request.has_opcode()) env.set_opcode(request.opcode());
  env.set_error_message(text);
  env.set_error_code(code);
  return env;
}

KtMsgBase result_response(const KtMsgBase& request, const std::string* version) {
  KtMsgBase env = reply_envelope(request, KT_RESPONSE);
  KtEngineScanResponse response;
  if (version) response.mutable_scan_result()->mutable_version_info()->set_version(*version);
  ktu::msg_wire::msg_store_payload(env, response);
  return env;
}

enum class After { NEXT, CLOSE, CLOSE_AS_ASKED };

// Blocks until the peer closes the connection.
void wait_for_close(int fd) {
  char buf[4096];
  for (;;) {
    ssize_t r = read(fd, buf, sizeof(buf));
    if (r == 0 || (r < 0 && errno != EINTR)) return;
  }
}

After answer(int fd, const KtMsgBase& received, kte::Plan& plan) {
  Output out(fd, plan);
  // Every frame below names the request it answers by the correlation id of `request`.
  KtMsgBase request = received;
  if (plan.other_id) request.set_correlation_id("other");
  for (const kte::Step& step : plan.steps) {
    switch (step.kind) {
      case kte::StepKind::RECORD:
      case kte::StepKind::EMPTY_PROGRESS: {
        KtMsgBase env = reply_envelope(request, KT_PROGRESS);
        KtEngineScanProgress progress;
        if (step.kind == kte::StepKind::RECORD) *progress.mutable_record() = step.record;
        ktu::msg_wire::msg_store_payload(env, progress);
        if (!out.send(frame_of(env))) return After::CLOSE;
        break;
      }
      case kte::StepKind::DETECTIONS:
      case kte::StepKind::LONG_RECORD: {
        // Built when sent rather than kept in the plan: millions of detection objects would cost
        // the engine more than the service.
        KtScanRecord record;
        record.set_virus("V");
        record.set_depth(0);
        record.set_path(step.kind == kte::StepKind::LONG_RECORD ? std::string(step.number, 'p') : "many");
        std::string bytes = record.SerializeAsString();
        if (step.kind == kte::StepKind::DETECTIONS) {
          // Field 12, an empty detection: the two bytes 62 00 each.
          for (uint32_t i = 0; i < step.number; ++i) bytes.append("\x62\x00", 2);
        }
        std::string payload = "\x0a";  // field 1 of the progress message, the record
        uint64_t n = bytes.size();
        for (; n >= 0x80; n >>= 7) payload.push_back(static_cast<char>(0x80 | (n & 0x7f)));
        payload.push_back(static_cast<char>(n));
        payload += bytes;
        KtMsgBase env = reply_envelope(request, KT_PROGRESS);
        env.set_payload(std::move(payload));
        if (!out.send(frame_of(env))) return After::CLOSE;
        break;
      }
      case kte::StepKind::WRONG_OPCODE: {
        KtMsgBase env = reply_envelope(request, KT_PROGRESS);
        env.set_opcode(KT_REQ_ENGINE_SCAN_CANCEL);
        if (!out.send(frame_of(env))) return After::CLOSE;
        break;
      }
      case kte::StepKind::WRONG_TYPE: {
        KtMsgBase env = reply_envelope(request, KT_MESSAGE);
        if (!out.send(frame_of(env))) return After::CLOSE;
        break;
      }
      case kte::StepKind::BAD_PROGRESS: {
        KtMsgBase env = reply_envelope(request, KT_PROGRESS);
        env.set_payload(std::string("\x0a\x05\x12", 3));  // a record cut short
        if (!out.send(frame_of(env))) return After::CLOSE;
        break;
      }
      case kte::StepKind::DELAY:
        if (!out.flush()) return After::CLOSE;
        std::this_thread::sleep_for(std::chrono::milliseconds(step.number));
        break;
      case kte::StepKind::BAD_MAGIC: {
        std::string body = reply_envelope(request, KT_RESPONSE).SerializeAsString();
        out.send(raw_frame("\xDD\xCC\xBB\xAA", static_cast<uint32_t>(body.size()), body));
        return out.flush() ? After::NEXT : After::CLOSE;
      }
      case kte::StepKind::BAD_ENVELOPE:
        out.send(raw_frame("\xAA\xBB\xCC\xDD", 3, "\xff\xff\xff"));
        return out.flush() ? After::NEXT : After::CLOSE;
      case kte::StepKind::HUGE_FRAME:
        out.send(raw_frame("\xAA\xBB\xCC\xDD", 256u << 20, "\x08\x03"));
        out.flush();
        // The service refuses the frame and closes; nothing more can follow on this stream.
        wait_for_close(fd);
        return After::CLOSE;
      case kte::StepKind::CLOSE:
        out.flush();
        fprintf(stderr, "kelto-testengine: dropping the connection as asked\n");
        return After::CLOSE;
      case kte::StepKind::HANG:
        out.flush();
        fprintf(stderr, "kelto-testengine: hanging as asked\n");
        wait_for_close(fd);
        return After::CLOSE;
    }
  }
  if (plan.echo_correlation) plan.version = received.correlation_id();
  KtMsgBase final_env;
  switch (plan.final) {
    case kte::Final::RESULT:
      final_env = result_response(request, &plan.version);
      break;
    case kte::Final::NO_VERSION:
      final_env = result_response(request, nullptr);
      break;
    case kte::Final::ERROR:
      final_env = error_response(request, plan.error_code, plan.error_message);
      break;
    case kte::Final::ERROR_EMPTY:
      final_env = reply_envelope(request, KT_RESPONSE);
      final_env.set_error_message("");
      break;
    case kte::Final::BAD_RESPONSE:
      final_env = reply_envelope(request, KT_RESPONSE);
      final_env.set_payload(std::string("\x0a\x09\x12", 3));
      break;
  }
  if (!out.send(frame_of(final_env)) || !out.flush()) return After::CLOSE;
  if (plan.duplicate_after >= 0) {
    // A late duplicate: the service has most likely sent its next request by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(plan.duplicate_after));
    if (!out.send(frame_of(final_env)) || !out.flush()) return After::CLOSE;
  }
  return plan.close_after ? After::CLOSE_AS_ASKED : After::NEXT;
}

// `reset_next` receives what the plan asks of the next request on this connection.
After handle(int fd, const KtMsgBase& request, int data_fd, int& reset_next) {
  auto send = [&](const KtMsgBase& env) {
    std::string f = frame_of(env);
    return write_full(fd, f.data(), f.size()) ? After::NEXT : After::CLOSE;
  };
  if (request.type() != KT_REQUEST || request.opcode() != KT_REQ_ENGINE_SCAN) {
    return send(error_response(request, EOPNOTSUPP, "unsupported request"));
  }
  KtEngineScanRequest scan;
  if (!scan.ParseFromString(request.payload())) {
    return send(error_response(request, EBADMSG, "malformed scan request"));
  }
  if (settings.null_mode) return send(result_response(request, &settings.version));

  const KtEngineScanParameters& params = scan.scan_params();
  int fd_to_scan = data_fd;
  int opened = -1;
  std::string name = params.has_filename() ? params.filename() : "stream";
  if (data_fd < 0) {
    if (!params.has_path()) return send(error_response(request, EINVAL, "nothing to scan"));
    name = params.path();
    opened = open(params.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (opened < 0) {
      int e = errno;
      return send(error_response(request, e, params.path() + ": " + strerror(e)));
    }
    fd_to_scan = opened;
  }
  kte::Plan plan;
  bool ok = kte::scan_descriptor(fd_to_scan, name, settings.version, plan);
  int e = errno;
  if (opened >= 0) close(opened);
  if (!ok) return send(error_response(request, e, name + ": " + strerror(e)));
  reset_next = plan.reset_next;
  return answer(fd, request, plan);
}

void serve(int fd) {
  int reset_next = -1;
  for (;;) {
    unsigned char header[8];
    if (!read_full(fd, header, sizeof(header))) break;
    uint32_t magic = header[0] | header[1] << 8 | header[2] << 16 | uint32_t{header[3]} << 24;
    uint32_t length = uint32_t{header[4]} << 24 | header[5] << 16 | header[6] << 8 | header[7];
    if (magic != ktu::msg_wire::kMagic || length > kMaxFrame) {
      fprintf(stderr, "kelto-testengine: malformed frame, closing the connection\n");
      break;
    }
    std::string body(length, '\0');
    if (!read_full(fd, body.data(), length)) break;
    KtMsgBase request;
    if (!request.ParseFromString(body)) {
      fprintf(stderr, "kelto-testengine: envelope does not parse, closing the connection\n");
      break;
    }
    if (reset_next >= 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(reset_next));
      fprintf(stderr, "kelto-testengine: closing with a request unread as asked\n");
      break;
    }
    int data_fd = -1;
    if (request.has_fd_count()) {
      data_fd = receive_descriptor(fd);
      if (data_fd < 0 && errno == 0) break;
    }
    // Before any answer, so the line is there once the service has answered its client.
    record_request(body, data_fd >= 0);
    if (request.has_fd_count() && data_fd < 0) {
      std::string f = frame_of(error_response(request, EBADMSG, "descriptor missing"));
      if (!write_full(fd, f.data(), f.size())) break;
      continue;
    }
    After after = handle(fd, request, data_fd, reset_next);
    if (data_fd >= 0) close(data_fd);
    if (after == After::CLOSE_AS_ASKED) {
      close(fd);
      fprintf(stderr, "kelto-testengine: connection closed as asked\n");
      return;
    }
    if (after == After::CLOSE) break;
  }
  close(fd);
}

void usage() {
  fprintf(stderr, "usage: kelto-testengine --socket PATH [--null] [--version TEXT] [--record PATH]\n");
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--socket" && i + 1 < argc) {
      settings.socket_path = argv[++i];
    } else if (a == "--version" && i + 1 < argc) {
      settings.version = argv[++i];
    } else if (a == "--null") {
      settings.null_mode = true;
    } else if (a == "--record" && i + 1 < argc) {
      settings.record_path = argv[++i];
    } else {
      usage();
      return 1;
    }
  }
  if (settings.socket_path.empty()) {
    usage();
    return 1;
  }
  if (!settings.record_path.empty()) {
    record_fd = open(settings.record_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (record_fd < 0) {
      fprintf(stderr, "kelto-testengine: %s: %s\n", settings.record_path.c_str(), strerror(errno));
      return 1;
    }
  }
  // A client that goes away must not end the engine.
  signal(SIGPIPE, SIG_IGN);

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  // Bind under a temporary name and rename once listening, so that whoever waits for the
  // socket file never finds one that refuses connections.
  std::string tmp = settings.socket_path + ".tmp";
  if (tmp.size() >= sizeof(addr.sun_path)) {
    fprintf(stderr, "kelto-testengine: socket path too long\n");
    return 1;
  }
  memcpy(addr.sun_path, tmp.c_str(), tmp.size() + 1);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(tmp.c_str());
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0 ||
      listen(listener, 512) < 0 || rename(tmp.c_str(), settings.socket_path.c_str()) < 0) {
    fprintf(stderr, "kelto-testengine: %s: %s\n", settings.socket_path.c_str(), strerror(errno));
    return 1;
  }
  fprintf(stderr, "kelto-testengine: listening on %s%s\n", settings.socket_path.c_str(),
          settings.null_mode ? " (null mode)" : "");
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
        if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      fprintf(stderr, "kelto-testengine: accept: %s\n", strerror(errno));
      return 1;
    }
    std::thread(serve, fd).detach();
  }
}
