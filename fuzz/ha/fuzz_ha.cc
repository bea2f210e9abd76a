// Any datagram as an HA record: the parser must not crash, and whatever it accepts must be whole (a known
// command with every field valid) and survive being written and read again unchanged. With a secret: the
// trailer of any datagram is read without harm, a sealed record opens to the same record and sequence, and
// the replay window never accepts a sequence twice. A shared block is read the same way and is whole.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ports/ha_record.h"

namespace {

constexpr std::string_view kSecret = "fuzzing-secret-0123456789";

void CheckTrailer(std::string_view text) {
  ha::Sequence seq;
  if (auto body = ha::Unseal(text, kSecret, seq)) {
    if (seq.counter == 0 || body->size() >= text.size()) __builtin_trap();
  }
  if (text.size() + ha::kTrailerLength > ha::kMaxRecord) return;
  const ha::Sequence sent{text.size(), 1 + (text.empty() ? 0u : static_cast<unsigned char>(text[0]))};
  const std::string sealed = ha::Seal(text, kSecret, sent);
  auto body = ha::Unseal(sealed, kSecret, seq);
  if (!body || *body != text || seq.boot != sent.boot || seq.counter != sent.counter) __builtin_trap();
  // The bytes as a stream of sequences: boots 0-3, counters 1-256.
  ha::ReplayWindow window(3);
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    const ha::Sequence s{static_cast<unsigned char>(text[i]) & 3u,
                         1u + static_cast<unsigned char>(text[i + 1])};
    if (window.Check(s) == ha::ReplayWindow::ACCEPTED && window.Check(s) == ha::ReplayWindow::ACCEPTED)
      __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckTrailer(text);
  if (auto b = ha::ParseBlock(text)) {
    auto again = ha::ParseBlock(ha::FormatBlock(*b));
    if (!again || again->on != b->on || again->node != b->node || again->ip != b->ip ||
        again->port != b->port || again->seconds != b->seconds || b->ip == 0)
      __builtin_trap();
  }
  auto r = ha::Parse(text);
  if (!r) return 0;
  switch (r->kind) {
    case ha::Record::REGISTER: {
      if (r->reg.ncont.empty() || r->reg.flags > 255) __builtin_trap();
      auto again = ha::Parse(ha::FormatRegistration(r->reg));
      if (!again || again->kind != ha::Record::REGISTER ||
          ha::FormatRegistration(again->reg) != ha::FormatRegistration(r->reg))
        __builtin_trap();
      break;
    }
    case ha::Record::CALL: {
      if (r->call.key.empty() || r->call.transc < -1) __builtin_trap();
      auto again = ha::Parse(ha::FormatCall(r->call));
      if (!again || again->kind != ha::Record::CALL) __builtin_trap();
      break;
    }
    case ha::Record::UNREGISTER:
    case ha::Record::CALL_END:
      if (r->key.empty()) __builtin_trap();
      break;
    default:
      break;
  }
  return 0;
}
