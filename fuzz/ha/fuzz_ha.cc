// Any datagram as an HA record: the parser must not crash, and whatever it accepts must be whole (a known
// command with every field valid) and survive being written and read again unchanged.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ports/ha_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
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
