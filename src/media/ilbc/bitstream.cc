#include "media/ilbc/bitstream.h"

#include "media/ilbc/tables.h"

namespace ostrel::ilbc {

namespace {

using Alloc = std::array<int, 3>;  // bits sent in class 0, 1, 2

// Visits every parameter in bitstream order with its per-class bit allocation.
template <typename Params, typename Fn>
void ForEachField(Params& p, Fn&& fn) {
  for (int i = 0; i < 6; ++i) fn(p.lsf[i], tbl::kUlp30LsfBits[i]);
  fn(p.start, tbl::kUlp30StartBits);
  fn(p.state_first, tbl::kUlp30StartfirstBits);
  fn(p.idx_for_max, tbl::kUlp30ScaleBits);
  for (auto& q : p.state) fn(q, tbl::kUlp30StateBits);
  for (int i = 0; i < kStages; ++i) fn(p.ext_cb[i], tbl::kUlp30ExtraCbIndex[i]);
  for (int i = 0; i < kStages; ++i) fn(p.ext_gain[i], tbl::kUlp30ExtraCbGain[i]);
  for (int i = 0; i < kCodedSubBlocks * kStages; ++i) fn(p.cb[i], tbl::kUlp30CbIndex[i]);
  for (int i = 0; i < kCodedSubBlocks * kStages; ++i) fn(p.gain[i], tbl::kUlp30CbGain[i]);
}

class BitWriter {
 public:
  explicit BitWriter(std::span<std::uint8_t, kFrameBytes> out) : out_(out) {
    for (auto& b : out_) b = 0;
  }
  void Put(unsigned value, int width) {
    for (int b = width - 1; b >= 0; --b) {
      if (pos_ >= kFrameBytes * 8) return;
      if ((value >> b) & 1u) out_[pos_ / 8] |= static_cast<std::uint8_t>(0x80u >> (pos_ % 8));
      ++pos_;
    }
  }

 private:
  std::span<std::uint8_t, kFrameBytes> out_;
  int pos_ = 0;
};

class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t, kFrameBytes> in) : in_(in) {}
  unsigned get(int width) {
    unsigned v = 0;
    for (int b = 0; b < width; ++b) {
      unsigned bit = 0;
      if (pos_ < kFrameBytes * 8) bit = (in_[pos_ / 8] >> (7 - pos_ % 8)) & 1u;
      v = (v << 1) | bit;
      ++pos_;
    }
    return v;
  }

 private:
  std::span<const std::uint8_t, kFrameBytes> in_;
  int pos_ = 0;
};

int TotalBits(const Alloc& a) { return a[0] + a[1] + a[2]; }

}  // namespace

int SubBlock1IndexToWire(int i) {
  if (i >= 108 && i < 172) return i - 64;
  if (i >= 236) return i - 128;
  return i;
}

int SubBlock1IndexFromWire(int t) {
  if (t >= 44 && t < 108) return t + 64;
  if (t >= 108 && t < 128) return t + 128;
  return t;
}

void PackRaw(const FrameParams& p, std::span<std::uint8_t, kFrameBytes> out) {
  BitWriter w(out);
  for (int cls = 0; cls < 3; ++cls) {
    ForEachField(p, [&](const int& value, const Alloc& a) {
      if (a[cls] == 0) return;
      int below = 0;
      for (int c = cls + 1; c < 3; ++c) below += a[c];
      const unsigned v = static_cast<unsigned>(value) & ((1u << TotalBits(a)) - 1u);
      w.Put((v >> below) & ((1u << a[cls]) - 1u), a[cls]);
    });
  }
  w.Put(static_cast<unsigned>(p.pad) & 1u, 1);
}

FrameParams UnpackRaw(std::span<const std::uint8_t, kFrameBytes> in) {
  FrameParams p;
  ForEachField(p, [](int& value, const Alloc&) { value = 0; });
  BitReader r(in);
  for (int cls = 0; cls < 3; ++cls) {
    ForEachField(p, [&](int& value, const Alloc& a) {
      if (a[cls] == 0) return;
      value = static_cast<int>((static_cast<unsigned>(value) << a[cls]) + r.get(a[cls]));
    });
  }
  p.pad = static_cast<int>(r.get(1));
  return p;
}

void Pack(const FrameParams& p, std::span<std::uint8_t, kFrameBytes> out) {
  FrameParams wire = p;
  wire.cb[1] = SubBlock1IndexToWire(p.cb[1]);
  wire.cb[2] = SubBlock1IndexToWire(p.cb[2]);
  PackRaw(wire, out);
}

FrameParams Unpack(std::span<const std::uint8_t, kFrameBytes> in) {
  FrameParams p = UnpackRaw(in);
  p.cb[1] = SubBlock1IndexFromWire(p.cb[1]);
  p.cb[2] = SubBlock1IndexFromWire(p.cb[2]);
  return p;
}

bool IsDecodable(const FrameParams& p) {
  auto in = [](int v, std::size_t n) { return v >= 0 && static_cast<std::size_t>(v) < n; };
  if (p.pad != 0 || p.start < 1 || p.start > 5 || !in(p.state_first, 2)) return false;
  const std::array<std::size_t, 3> splits = {tbl::kLsfCbSplit1.size(), tbl::kLsfCbSplit2.size(),
                                             tbl::kLsfCbSplit3.size()};
  for (int i = 0; i < 6; ++i) {
    if (!in(p.lsf[i], splits[i % 3])) return false;
  }
  if (!in(p.idx_for_max, tbl::kStateFrgq.size())) return false;
  for (int q : p.state) {
    if (!in(q, tbl::kStateSq3.size())) return false;
  }
  for (int i : p.ext_cb) {
    if (!in(i, 128)) return false;
  }
  for (int i : p.cb) {
    if (!in(i, 256)) return false;
  }
  const std::array<std::size_t, kStages> gains = {tbl::kGainSq5.size(), tbl::kGainSq4.size(),
                                                  tbl::kGainSq3.size()};
  for (int s = 0; s < kStages; ++s) {
    if (!in(p.ext_gain[s], gains[s])) return false;
    for (int b = 0; b < kCodedSubBlocks; ++b) {
      if (!in(p.gain[b * kStages + s], gains[s])) return false;
    }
  }
  return true;
}

}  // namespace ostrel::ilbc
