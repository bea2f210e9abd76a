// The "tool" signature of a server SDP: any text is recognised or refused and decoded without reading or
// writing outside its 12-byte block.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dialogs/sdp_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string_view signature = SignatureOfTool(text.c_str());
  (void)DecodeSignature(signature.empty() ? std::string_view(text) : signature);
  return 0;
}
