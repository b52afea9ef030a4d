#include "proto/msg_wire.hpp"

#include <climits>
#include <cstring>

#include "msg.pb.h"

namespace ktu::msg_wire {

namespace {

// The runtime refuses messages above INT_MAX bytes in either direction.
constexpr std::size_t kMaxMessage = INT_MAX;

}  // namespace

std::size_t msg_wire_size(const KtMsgBase& envelope) {
  return envelope.ByteSizeLong() + kHeaderSize;
}

std::size_t msg_wire_write(const KtMsgBase& envelope, void* buf) {
  const std::size_t n = envelope.ByteSizeLong();
  auto* out = static_cast<std::uint8_t*>(buf);
  out[0] = 0xAA;
  out[1] = 0xBB;
  out[2] = 0xCC;
  out[3] = 0xDD;
  out[4] = static_cast<std::uint8_t>(n >> 24);
  out[5] = static_cast<std::uint8_t>(n >> 16);
  out[6] = static_cast<std::uint8_t>(n >> 8);
  out[7] = static_cast<std::uint8_t>(n);
  if (n > kMaxMessage) {
    return 0;
  }
  // ByteSizeLong has just cached every size: serialize in one pass without computing them again.
  const std::uint8_t* end = envelope.SerializeWithCachedSizesToArray(out + kHeaderSize);
  if (static_cast<std::size_t>(end - out) != n + kHeaderSize) {
    return 0;
  }
  return n + kHeaderSize;
}

std::pair<ReadStatus, std::size_t> msg_wire_read(KtMsgBase& envelope, const void* data, std::size_t len) {
  if (len < kHeaderSize) {
    return {ReadStatus::INCOMPLETE, kHeaderSize};
  }
  const auto* in = static_cast<const std::uint8_t*>(data);
  const std::uint32_t magic = std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 |
                              std::uint32_t{in[2]} << 16 | std::uint32_t{in[3]} << 24;
  if (magic != kMagic) {
    return {ReadStatus::BAD_MAGIC, 0};
  }
  const std::uint64_t n = std::uint64_t{in[4]} << 24 | std::uint64_t{in[5]} << 16 |
                          std::uint64_t{in[6]} << 8 | std::uint64_t{in[7]};
  const std::uint64_t frame = n + kHeaderSize;
  if (len < frame) {
    return {ReadStatus::INCOMPLETE, static_cast<std::size_t>(frame)};
  }
  // A body beyond the runtime's limit cannot be parsed; say so rather than pass a negative size.
  if (n > kMaxMessage) {
    envelope.Clear();
    return {ReadStatus::PARSE_FAILED, static_cast<std::size_t>(frame)};
  }
  if (!envelope.ParseFromArray(in + kHeaderSize, static_cast<int>(n))) {
    return {ReadStatus::PARSE_FAILED, static_cast<std::size_t>(frame)};
  }
  return {ReadStatus::OK, static_cast<std::size_t>(frame)};
}

namespace detail {

bool store_payload(KtMsgBase& envelope, const google::protobuf::MessageLite& message) {
  std::string* payload = envelope.mutable_payload();
  const std::size_t n = message.ByteSizeLong();
  if (n > kMaxMessage) {
    payload->clear();
    return false;
  }
  payload->resize(n);
  auto* begin = reinterpret_cast<std::uint8_t*>(payload->data());
  return message.SerializeWithCachedSizesToArray(begin) == begin + n;
}

}  // namespace detail

}  // namespace ktu::msg_wire
