// The fault texts of the msgpack reader, kept out of its inlined walk.
#include "core/msgpack.h"

#include <string>

namespace tarn::msgpack {

CoreError describe(const Fault& f) {
  const std::string at = " at byte " + std::to_string(f.at);
  const std::string n = std::to_string(f.extra);
  switch (f.kind) {
    case FaultKind::kTruncated: return CoreError::Corrupt(std::string("truncated ") + f.what + at);
    case FaultKind::kReservedByte: return CoreError::Corrupt("reserved byte 0xc1" + at);
    case FaultKind::kTrailing: return CoreError::Corrupt(n + (f.extra == 1 ? " byte" : " bytes") + " after the value");
    case FaultKind::kTooDeep: return CoreError::Corrupt("nested deeper than " + std::to_string(kMaxDepth) + at);
    case FaultKind::kBadUtf8: return CoreError::Corrupt("invalid utf-8 in str" + at);
    case FaultKind::kMapAsKey: return CoreError::Corrupt("map used as a map key" + at);
    case FaultKind::kExtType: return CoreError::Corrupt("reserved ext type " + n + at);
    case FaultKind::kTimestampSize: return CoreError::Corrupt("timestamp of " + n + " bytes" + at);
    case FaultKind::kTimestampNanos: return CoreError::Corrupt("timestamp nanoseconds " + n + " out of range" + at);
    case FaultKind::kBuilder: break;
  }
  return CoreError::Corrupt("the value could not be built" + at);
}

}  // namespace tarn::msgpack
