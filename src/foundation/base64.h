// Base64 (RFC 4648) encoding, its URL-safe form, and a decoder that accepts both alphabets.
// No shared state: safe on any thread.
#pragma once

#include <cstddef>
#include <string>

namespace Base64 {
std::string Encode(const unsigned char* in, size_t n);
// Encode without padding, with '-' and '_' for '+' and '/'.
std::string EncodeURL(const unsigned char* in, size_t n);
// Decodes the NUL-terminated text in into out, writing at most capacity bytes; returns the bytes written.
// Text that would decode to more than capacity bytes is cut at capacity, never written past it.
size_t Decode(const unsigned char* in, unsigned char* out, size_t capacity);
}  // namespace Base64
