#include "media/reorder_buffer.h"

#include <algorithm>
#include <cstring>

#include "media/rtp_header.h"

namespace {

// a comes after b in a stream's numbering: the distance forward from b to a is less than half the range.
bool After(uint16_t a, uint16_t b) { return static_cast<int16_t>(static_cast<uint16_t>(a - b)) > 0; }

}  // namespace

uint16_t ReorderBuffer::Sequence(size_t i) const {
  return rtp::Sequence(entries_[i].bytes.data(), entries_[i].len);
}

bool ReorderBuffer::Insert(const uint8_t* pkt, size_t len) {
  if (count_ == kCapacity || len < rtp::kHeaderSize || len > kEntrySize) return false;
  const uint16_t seq = rtp::Sequence(pkt, len);
  size_t at = 0;
  while (at < count_ && !After(Sequence(at), seq)) ++at;
  std::move_backward(entries_.begin() + at, entries_.begin() + count_, entries_.begin() + count_ + 1);
  std::memcpy(entries_[at].bytes.data(), pkt, len);
  entries_[at].len = len;
  ++count_;
  return true;
}

bool ReorderBuffer::ThreeInARow() const {
  return count_ == 3 && static_cast<uint16_t>(Sequence(0) + 1) == Sequence(1) &&
         static_cast<uint16_t>(Sequence(1) + 1) == Sequence(2);
}

void ReorderBuffer::DropFront(size_t n) {
  n = std::min(n, count_);
  std::move(entries_.begin() + n, entries_.begin() + count_, entries_.begin());
  count_ -= n;
}
