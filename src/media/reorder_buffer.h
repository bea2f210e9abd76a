// The few 20 ms server packets of a transcoded call that wait to be joined into one client packet, held
// in ascending sequence-number order. Fixed storage, no allocation; used by one transcoder on its media
// thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

class ReorderBuffer {
 public:
  // Four packets always flush, so four is all the buffer ever needs to hold.
  static constexpr size_t kCapacity = 4;
  // A 12-byte RTP header and one 20 ms frame of the largest server codec (160 bytes of G.711).
  static constexpr size_t kEntrySize = 172;

  // Copies the packet in before the first held packet with a greater sequence number (numbers compared
  // modulo 2^16, so the order holds across the wrap); equal numbers keep their arrival order. false, and
  // nothing held: the buffer is full, or the packet is shorter than an RTP header or longer than an entry.
  bool Insert(const uint8_t* pkt, size_t len);

  size_t Size() const { return count_; }
  bool Empty() const { return count_ == 0; }
  // The i-th held packet in sequence order (i < Size()).
  std::span<const uint8_t> Packet(size_t i) const { return {entries_[i].bytes.data(), entries_[i].len}; }
  // Exactly three packets are held and their numbers follow one another (modulo 2^16).
  bool ThreeInARow() const;
  // Removes the first n packets (all of them when fewer are held).
  void DropFront(size_t n);

 private:
  struct Entry {
    std::array<uint8_t, kEntrySize> bytes;
    size_t len;
  };
  uint16_t Sequence(size_t i) const;

  std::array<Entry, kCapacity> entries_{};
  size_t count_ = 0;
};
