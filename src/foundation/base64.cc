#include "foundation/base64.h"

#include <array>
#include <cstring>

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Both alphabets decode; '=' is 0 and any other character all ones, as callers pass text already taken as
// Base64.
constexpr std::array<unsigned char, 256> MakeTable() {
  std::array<unsigned char, 256> t{};
  for (auto& v : t) v = 0xFF;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
  t['-'] = 62;
  t['_'] = 63;
  t['='] = 0;
  return t;
}
constexpr auto kTable = MakeTable();
}  // namespace

namespace Base64 {

std::string Encode(const unsigned char* in, size_t n) {
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < n; i += 3) {
    unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < n) {
    unsigned v = in[i] << 16;
    if (i + 1 < n) v |= in[i + 1] << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += (i + 1 < n) ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string EncodeURL(const unsigned char* in, size_t n) {
  std::string out = Encode(in, n);
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return out;
}

size_t Decode(const unsigned char* in, unsigned char* out, size_t capacity) {
  size_t n = std::strlen(reinterpret_cast<const char*>(in));
  size_t groups = n / 4;
  size_t tail_bytes = 0;
  if (n % 4 == 0) {
    if (n > 0 && in[n - 1] == '=') {
      --groups;
      tail_bytes = (n > 1 && in[n - 2] == '=') ? 1 : 2;
    }
  } else {
    tail_bytes = n % 4 - 1;
  }
  size_t written = 0;
  auto put = [&](unsigned char b) {
    if (written < capacity) out[written++] = b;
  };
  const unsigned char* p = in;
  for (size_t g = 0; g < groups; ++g, p += 4) {
    unsigned v = (kTable[p[0]] << 18) | (kTable[p[1]] << 12) | (kTable[p[2]] << 6) | kTable[p[3]];
    put(static_cast<unsigned char>(v >> 16));
    put(static_cast<unsigned char>(v >> 8));
    put(static_cast<unsigned char>(v));
  }
  if (tail_bytes > 0) {
    unsigned v = (kTable[p[0]] << 18) | (kTable[p[1]] << 12);
    if (tail_bytes == 2) v |= kTable[p[2]] << 6;
    put(static_cast<unsigned char>(v >> 16));
    if (tail_bytes == 2) put(static_cast<unsigned char>(v >> 8));
  }
  return written;
}

}  // namespace Base64
