// The frame that carries one envelope on the engine socket: magic, big-endian length, envelope.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

class KtMsgBase;
namespace google::protobuf {
class MessageLite;
}

namespace ktu::msg_wire {

// The magic number, stored little-endian: bytes AA BB CC DD.
inline constexpr std::uint32_t kMagic = 0xDDCCBBAAu;
inline constexpr std::size_t kHeaderSize = 8;

enum class ReadStatus {
  OK = 0,            // size: bytes used by the frame
  BAD_MAGIC = 1,     // size: 0
  PARSE_FAILED = 2,  // size: bytes the frame occupies, so the caller can skip it
  INCOMPLETE = 3,    // size: total bytes the frame needs (8 while the header is incomplete)
};

// Framed size of the envelope: its serialized size plus the header.
std::size_t msg_wire_size(const KtMsgBase& envelope);

// Writes the frame into buf, sized by msg_wire_size; returns the bytes written, or 0 when the
// envelope does not serialize (beyond the runtime's 2 GB limit).
std::size_t msg_wire_write(const KtMsgBase& envelope, void* buf);

// Looks at the first len bytes of a receive buffer and parses a whole frame's envelope in place.
// Consumes nothing: the caller drops exactly `size` bytes after OK or PARSE_FAILED.
std::pair<ReadStatus, std::size_t> msg_wire_read(KtMsgBase& envelope, const void* data, std::size_t len);

namespace detail {
bool store_payload(KtMsgBase& envelope, const google::protobuf::MessageLite& message);
}

// Serializes message into the envelope's payload, replacing what was there; false when it does
// not serialize (the payload is then present but not a valid message).
template <class T>
bool msg_store_payload(KtMsgBase& envelope, const T& message) {
  return detail::store_payload(envelope, message);
}

}  // namespace ktu::msg_wire
